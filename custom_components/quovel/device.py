"""One lock at run time: Home Assistant's Bluetooth wiring around the driver's LockMonitor."""

from __future__ import annotations

from datetime import datetime, timedelta

from bleak.backends.device import BLEDevice
from homeassistant.components import bluetooth
from homeassistant.components.bluetooth import BluetoothServiceInfoBleak
from homeassistant.config_entries import ConfigEntry
from homeassistant.const import CONF_ADDRESS
from homeassistant.core import CALLBACK_TYPE, HomeAssistant, callback
from homeassistant.helpers.event import async_track_time_interval

from quovel_bleak import LockMonitor, Timing

from .const import AVAILABILITY_INTERVAL, CONF_AES_KEY, CONF_HOLD_LINK, CONF_UNLOCK_KEY
from .slots import slot_pool

type QuovelConfigEntry = ConfigEntry[LockDevice]


def timing(options: dict[str, object]) -> Timing:
    """The driver's timing with the entry's options applied."""
    hold_link = options.get(CONF_HOLD_LINK)
    return Timing() if not isinstance(hold_link, (int, float)) else Timing(hold_link=float(hold_link))


class LockDevice:
    """A lock's monitor, fed from every scanner and by Home Assistant's verdicts on availability."""

    def __init__(self, hass: HomeAssistant, entry: QuovelConfigEntry) -> None:
        self.hass = hass
        self.address: str = entry.data[CONF_ADDRESS]
        self.name = entry.title
        # Kept for diagnostics: what Home Assistant heard, beside what the driver made of it.
        self.last_service_info: BluetoothServiceInfoBleak | None = None
        self.monitor = LockMonitor(
            self.address,
            entry.data[CONF_AES_KEY],
            entry.data[CONF_UNLOCK_KEY],
            name=self.name,
            # Advertisement times are on Home Assistant's Bluetooth clock; replies are credited on it too.
            clock=bluetooth.MONOTONIC_TIME,
            ble_device_callback=self._ble_device,
            timing=timing(dict(entry.options)),
            slots=slot_pool(hass),
        )

    @callback
    def async_start(self) -> CALLBACK_TYPE:
        """Listens to the lock; returns what stops listening."""
        if (info := bluetooth.async_last_service_info(self.hass, self.address, connectable=False)) is not None:
            self._feed(info)
        stops = [
            # Every advertisement, also one whose data is unchanged: that the
            # lock keeps advertising is what keeps it available.
            bluetooth.async_register_advertisement_callback(self.hass, self._feed, self.address),
            bluetooth.async_track_unavailable(self.hass, self._on_unavailable, self.address, connectable=False),
            async_track_time_interval(
                self.hass,
                self._check_availability,
                timedelta(seconds=AVAILABILITY_INTERVAL),
                name=f"quovel availability {self.address}",
            ),
        ]

        @callback
        def stop() -> None:
            for cancel in stops:
                cancel()

        return stop

    def _ble_device(self) -> BLEDevice | None:
        return bluetooth.async_ble_device_from_address(self.hass, self.address, connectable=True)

    @callback
    def _feed(self, info: BluetoothServiceInfoBleak) -> None:
        self.last_service_info = info
        self.monitor.on_advertisement(info.manufacturer_data, info.time)

    @callback
    def _on_unavailable(self, _info: BluetoothServiceInfoBleak) -> None:
        self.monitor.on_unavailable()

    @callback
    def _check_availability(self, _now: datetime) -> None:
        self.monitor.poll_availability(bluetooth.MONOTONIC_TIME())
