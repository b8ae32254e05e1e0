"""Simulated locks' advertisements, heard through bleak's own ``BleakScanner``.

``scanner_backend(radio)`` is a ``bleak.backends.scanner.BaseBleakScanner``
subclass bound to a :class:`~quovel_sim.bleak_backend.SimulatedRadio`, so
``BleakScanner(callback, backend=scanner_backend(radio))`` delivers what
:func:`advertise` broadcasts the way a real scan does: through bleak's
service-UUID filter, ``seen_devices``, ``discovered_devices_and_advertisement_data``
and the detection callbacks. :func:`broadcast` keeps every lock on the radio
advertising, as locks do, until it is cancelled::

    radio = SimulatedRadio()
    radio.add(SimulatedLock(aes_key=key, unlock_key=305419896))
    scanner = BleakScanner(on_advertisement, backend=scanner_backend(radio))
    await scanner.start()
    task = asyncio.create_task(broadcast(radio, interval=1.0))

:class:`ScannerFaults` makes the adapter misbehave: a missing adapter when
scanning starts, and a radio that goes deaf while it scans.

Needs ``bleak`` (``pip install "quovel[sim,bleak]"``).
"""

from __future__ import annotations

import asyncio
import weakref
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any, ClassVar, Literal

from bleak.backends.scanner import AdvertisementDataCallback, BaseBleakScanner
from bleak.exc import BleakDBusError, BleakError

from .bleak_backend import SimulatedRadio

StartFault = Literal["no-adapter", "not-ready"]
"""A failed ``start()``, as BlueZ reports it: the adapter is gone
(``BleakError``), or powered off (``BleakDBusError`` "org.bluez.Error.NotReady")."""


def start_error(fault: StartFault, adapter: str) -> BaseException:
    if fault == "no-adapter":
        return BleakError(f"adapter '{adapter}' not found")
    return BleakDBusError("org.bluez.Error.NotReady", ["Resource Not Ready"])


@dataclass
class ScannerFaults:
    """Misbehaviour of the scanning adapter."""

    start_errors: list[StartFault] = field(default_factory=list)
    """One entry per coming ``start()``, which fails that way."""
    deaf: bool = False
    """The adapter hears nothing (unplugged while scanning: BlueZ says nothing)."""
    out_of_range: set[str] = field(default_factory=set)
    """Addresses (upper case) whose broadcasts do not reach the adapter."""


@dataclass
class _Air:
    scanners: set[SimulatedScannerBackend] = field(default_factory=set)
    faults: ScannerFaults = field(default_factory=ScannerFaults)
    backend: type[SimulatedScannerBackend] | None = None
    starts: int = 0


_AIRS: weakref.WeakKeyDictionary[SimulatedRadio, _Air] = weakref.WeakKeyDictionary()


def _air(radio: SimulatedRadio) -> _Air:
    air = _AIRS.get(radio)
    if air is None:
        air = _AIRS[radio] = _Air()
    return air


def scanner_faults(radio: SimulatedRadio) -> ScannerFaults:
    """The radio's scanning faults, to change while a test runs."""
    return _air(radio).faults


def scanner_starts(radio: SimulatedRadio) -> int:
    """How often a scanner on the radio was started (including failed starts)."""
    return _air(radio).starts


def scanner_backend(radio: SimulatedRadio) -> type[BaseBleakScanner]:
    """The scanner backend bound to ``radio``; pass as ``BleakScanner(backend=...)``."""
    air = _air(radio)
    if air.backend is None:

        class Backend(SimulatedScannerBackend):
            _radio = radio

        air.backend = Backend
    return air.backend


class SimulatedScannerBackend(BaseBleakScanner):
    """A bleak scanner backend whose air carries simulated locks' broadcasts.

    Use the subclass bound to a radio, :func:`scanner_backend`.
    """

    _radio: ClassVar[SimulatedRadio]

    def __init__(
        self,
        detection_callback: AdvertisementDataCallback | None,
        service_uuids: list[str] | None,
        scanning_mode: Literal["active", "passive"] = "active",
        *,
        bluez: dict[str, Any] | None = None,
        **kwargs: Any,
    ) -> None:
        super().__init__(detection_callback, service_uuids)
        self.adapter: str = (bluez or {}).get("adapter") or "hci0"

    async def start(self) -> None:
        air = _air(self._radio)
        air.starts += 1
        if air.faults.start_errors:
            raise start_error(air.faults.start_errors.pop(0), self.adapter)
        # bleak's contract: a new scan forgets what the last one saw.
        self.seen_devices = {}
        air.scanners.add(self)

    async def stop(self) -> None:
        _air(self._radio).scanners.discard(self)

    def hear(self, address: str, **options: Any) -> None:
        peripheral = self._radio.peripherals[address.upper()]
        advertisement = self._radio.advertisement_data(address, **options)
        if not self.is_allowed_uuid(advertisement.service_uuids):
            return
        device = self.create_or_update_device(
            peripheral.address, peripheral.address, peripheral.name, {"adapter": self.adapter}, advertisement
        )
        self.call_detection_callbacks(device, advertisement)


def advertise(radio: SimulatedRadio, address: str, *, stale: bool = False, dfu: bool = False, rssi: int = -60) -> int:
    """One broadcast of the lock at ``address``; returns how many scanners heard it.

    A connected lock does not advertise, as a peripheral that takes one connection.
    """
    air = _air(radio)
    if air.faults.deaf or address.upper() in air.faults.out_of_range or radio.peripherals[address.upper()].connected:
        return 0
    heard = 0
    for scanner in list(air.scanners):
        scanner.hear(address, stale=stale, dfu=dfu, rssi=rssi)
        heard += 1
    return heard


async def broadcast(radio: SimulatedRadio, interval: float = 1.0, addresses: Iterable[str] | None = None) -> None:
    """Every lock on the radio (or those of ``addresses``) advertises every ``interval`` seconds, until cancelled."""
    while True:
        for address in list(addresses if addresses is not None else radio.peripherals):
            advertise(radio, address)
        await asyncio.sleep(interval)
