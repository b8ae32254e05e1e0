"""One lock at run time: its tracker, fed from Bluetooth, and its client."""

from __future__ import annotations

import logging
from collections.abc import Callable
from datetime import datetime, timedelta

from bleak.backends.device import BLEDevice
from homeassistant.components import bluetooth
from homeassistant.components.bluetooth import BluetoothServiceInfoBleak
from homeassistant.config_entries import ConfigEntry
from homeassistant.const import CONF_ADDRESS
from homeassistant.core import CALLBACK_TYPE, HomeAssistant, callback
from homeassistant.helpers.event import async_track_time_interval

import quovel
import quovel_bleak
from quovel_bleak import LockClient, Timing

from .const import AVAILABILITY_INTERVAL, CONF_AES_KEY, CONF_HOLD_LINK, CONF_UNLOCK_KEY
from .slots import slot_pool

_LOGGER = logging.getLogger(__package__)

type QuovelConfigEntry = ConfigEntry[LockDevice]


def timing(options: dict[str, object]) -> Timing:
    """The driver's timing with the entry's options applied."""
    hold_link = options.get(CONF_HOLD_LINK)
    return Timing() if not isinstance(hold_link, (int, float)) else Timing(hold_link=float(hold_link))


class LockDevice:
    """A lock's tracker fed from every scanner, its availability, and its client."""

    def __init__(self, hass: HomeAssistant, entry: QuovelConfigEntry) -> None:
        self.hass = hass
        self.address: str = entry.data[CONF_ADDRESS]
        self.name = entry.title
        self.tracker = quovel.LockTracker()
        self.last_service_info: BluetoothServiceInfoBleak | None = None
        self._listeners: list[Callable[[], None]] = []
        self._logged_unavailable = False
        self.client = LockClient(
            self.address,
            entry.data[CONF_AES_KEY],
            entry.data[CONF_UNLOCK_KEY],
            tracker=self.tracker,
            on_change=self._publish,
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
            self._listeners.clear()

        return stop

    @callback
    def async_add_listener(self, listener: Callable[[], None]) -> CALLBACK_TYPE:
        self._listeners.append(listener)

        @callback
        def remove() -> None:
            self._listeners.remove(listener)

        return remove

    def _ble_device(self) -> BLEDevice | None:
        return bluetooth.async_ble_device_from_address(self.hass, self.address, connectable=True)

    @callback
    def _feed(self, info: BluetoothServiceInfoBleak) -> None:
        self.last_service_info = info
        advertisement = quovel.select_advertisement(info.manufacturer_data, self.address)
        self._publish(self.tracker.on_advertisement(quovel_bleak.to_ms(info.time), advertisement))

    @callback
    def _on_unavailable(self, _info: BluetoothServiceInfoBleak) -> None:
        self._publish(self.tracker.on_unavailable())

    @callback
    def _check_availability(self, _now: datetime) -> None:
        self._publish(quovel_bleak.poll_availability(self.tracker, bluetooth.MONOTONIC_TIME()))

    def _publish(self, changes: set[str]) -> None:
        if not changes:
            return
        # Once when the lock goes, once when it is back.
        if "available" in changes and self.tracker.available == self._logged_unavailable:
            self._logged_unavailable = not self.tracker.available
            if self._logged_unavailable:
                _LOGGER.info("%s (%s) is unavailable", self.name, self.address)
            else:
                _LOGGER.info("%s (%s) is available again", self.name, self.address)
        for listener in list(self._listeners):
            listener()
