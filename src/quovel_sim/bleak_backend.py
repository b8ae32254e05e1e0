"""Simulated locks on a simulated radio, reachable through bleak itself.

``SimulatedRadio.backend`` is a ``bleak.backends.client.BaseBleakClient``
subclass, so ``BleakClient(device, backend=radio.backend)``,
``establish_connection(..., backend=radio.backend)`` and a habluetooth
``HaBluetoothConnector(client=radio.backend, ...)`` drive a
:class:`SimulatedLock` through bleak's own code: service collection and UUID
lookup, the ``(characteristic, bytearray)`` notification callback, its "Not
connected" and "Service Discovery has not been performed yet" errors and the
disconnected callback. :class:`LinkFaults` makes the link misbehave, the
lock's own :class:`Faults` make the lock misbehave.

This is how an integration tests its own code against a lock::

    radio = SimulatedRadio()
    peripheral = radio.add(SimulatedLock(aes_key=key, unlock_key=305419896))
    client = BleakClient(radio.ble_device(peripheral.address), backend=radio.backend)

Needs ``bleak`` (``pip install "quovel[sim,bleak]"``).
"""

from __future__ import annotations

import asyncio
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any, ClassVar, Literal

from bleak.args import SizedBuffer
from bleak.assigned_numbers import CharacteristicPropertyName
from bleak.backends.characteristic import BleakGATTCharacteristic
from bleak.backends.client import BaseBleakClient, NotifyCallback
from bleak.backends.descriptor import BleakGATTDescriptor
from bleak.backends.device import BLEDevice
from bleak.backends.scanner import AdvertisementData
from bleak.backends.service import BleakGATTService, BleakGATTServiceCollection
from bleak.exc import BleakDBusError, BleakDeviceNotFoundError, BleakError

from .gatt import NOTIFY_CHARACTERISTIC, SERVICE_UUID, WRITE_CHARACTERISTIC
from .lock import SimulatedLock

ConnectFault = Literal[
    "not-found",
    "aborted",
    "timeout",
    "eof",
    "services-changed",
    "no-slot",
    "dropped-inside",
    "dropped-then-aborted",
    "dropped-then-services-changed",
]
"""A troubled connection attempt, as BlueZ, bleak and proxies report it:
``BleakDeviceNotFoundError``, ``BleakDBusError`` "le-connection-abort-by-local",
``TimeoutError``, ``EOFError`` (the D-Bus socket closed),
``KeyError('org.bluez.GattService1')`` (services changed while resolving), and
a proxy's ``TimeoutError`` when it has no free connection slot. The
``dropped-`` faults bring the link up and down inside ``connect()``, which
calls the disconnected callback: then bleak's own retry succeeds
(``dropped-inside``), or the attempt fails as ``aborted`` or
``services-changed`` does."""

DisconnectFault = Literal["dbus-error", "timeout", "hang"]
"""A troubled ``disconnect()``: ``BleakDBusError``, or the ``TimeoutError`` of a
link that is not down in time (either way the link does go down), or a call
that never returns (the link goes down when the caller gives up on it)."""

NO_SLOT_MESSAGE = "timed out waiting for a free connection slot"

CCCD_UUID = "00002902-0000-1000-8000-00805f9b34fb"
MIN_MTU = 23
_ATT_HEADER = 3


def connect_error(fault: ConnectFault, address: str) -> BaseException:
    """The exception that one failed connection attempt raises."""
    if fault == "not-found":
        return BleakDeviceNotFoundError(address, f"Device with address {address} was not found.")
    if fault in ("aborted", "dropped-then-aborted"):
        return BleakDBusError("org.bluez.Error.Failed", ["le-connection-abort-by-local"])
    if fault == "timeout":
        return TimeoutError()
    if fault == "no-slot":
        return TimeoutError(NO_SLOT_MESSAGE)
    if fault == "eof":
        return EOFError()
    return KeyError("org.bluez.GattService1")


def disconnect_error(fault: DisconnectFault) -> BaseException:
    if fault == "dbus-error":
        return BleakDBusError("org.bluez.Error.Failed", ["Operation already in progress"])
    return TimeoutError()


@dataclass
class LinkFaults:
    """Misbehaviour of the radio link. Lists are used up, one entry per event."""

    connect_errors: list[ConnectFault] = field(default_factory=list)
    """One entry per coming connection attempt, which fails that way."""
    drop_after_writes: list[int] = field(default_factory=list)
    """One entry per coming connection: the link drops right after that many
    writes have reached the lock (so ``[5]`` delivers an actuation request
    whole and loses its reply; ``[0]`` drops it as soon as it is made)."""
    early_notifications: list[bytes] = field(default_factory=list)
    """Delivered while ``start_notify`` is still running, before it returns."""
    notify_delay: float = 0.0
    """Seconds between a write and the notifications that answer it."""
    disconnect_errors: list[DisconnectFault] = field(default_factory=list)
    """One entry per coming ``disconnect()``, which fails that way."""
    drop_when_idle: float | None = None
    """Seconds without a write after which the lock drops the link itself."""
    stale_services: bool = False
    """The service table lacks the lock's write characteristic, as a stale
    GATT cache would, until the backend's ``clear_cache()`` is called."""
    connect_delay: float = 0.0
    """Seconds each connection attempt takes."""
    mtu: int = MIN_MTU
    """Negotiated ATT MTU: notifications carry up to ``mtu - 3`` bytes, and a
    longer write is refused."""
    write_properties: tuple[CharacteristicPropertyName, ...] = ("write-without-response", "write")
    """Properties of the write characteristic."""


class ConnectionSlots:
    """The connection slots of one adapter or proxy: a slot is taken when a
    connection is asked for and given back when it fails or the link is down."""

    def __init__(self, limit: int | None = None) -> None:
        self.limit = limit
        """Slots in all; None: no limit."""
        self.holders: dict[int, str] = {}
        """Address of the connection holding each slot, by client."""
        self.listeners: list[Callable[[], None]] = []
        """Called after every change."""

    @property
    def free(self) -> int | None:
        return None if self.limit is None else self.limit - len(self.holders)

    def take(self, client: object, address: str) -> bool:
        if id(client) in self.holders:
            return True
        if self.limit is not None and len(self.holders) >= self.limit:
            return False
        self.holders[id(client)] = address
        self._changed()
        return True

    def give_back(self, client: object) -> None:
        if self.holders.pop(id(client), None) is not None:
            self._changed()

    def _changed(self) -> None:
        for listener in list(self.listeners):
            listener()


@dataclass
class SimulatedPeripheral:
    """One lock on the radio and what happened on its link."""

    lock: SimulatedLock
    link: LinkFaults
    name: str
    connect_attempts: int = 0
    connections: int = 0
    writes: list[tuple[bytes, bool]] = field(default_factory=list)
    """Every chunk that reached the lock, with whether it was written with response."""
    disconnects: int = 0
    connected: bool = False
    idle_drops: int = 0
    """Links the lock dropped for being idle."""
    cache_clears: int = 0

    @property
    def address(self) -> str:
        return self.lock.address.upper()


class SimulatedRadio:
    """The simulated locks that bleak clients on this radio can reach, by address.

    ``connection_limit`` gives the radio's adapter that many connection slots:
    a connection asked for while they are all taken fails as a full adapter or
    proxy reports it (``TimeoutError`` "timed out waiting for a free
    connection slot").
    """

    def __init__(self, *, connection_limit: int | None = None) -> None:
        self.peripherals: dict[str, SimulatedPeripheral] = {}
        self.slots = ConnectionSlots(connection_limit)
        """The adapter's connection slots (``backend``'s)."""
        self.backend: type[BaseBleakClient] = self.adapter_backend(self.slots)
        """Pass as ``backend=`` to ``BleakClient`` or ``establish_connection``."""

    def adapter_backend(self, slots: ConnectionSlots) -> type[BaseBleakClient]:
        """A backend reaching this radio's locks through another adapter or
        proxy, with connection slots of its own."""
        radio = self

        class Backend(SimulatedBleakBackend):
            _radio = radio
            _slots = slots

        return Backend

    def add(
        self, lock: SimulatedLock, link: LinkFaults | None = None, *, name: str = "Simulated lock"
    ) -> SimulatedPeripheral:
        peripheral = SimulatedPeripheral(lock, link or LinkFaults(), name)
        self.peripherals[peripheral.address] = peripheral
        return peripheral

    def ble_device(self, address: str) -> BLEDevice:
        """The ``BLEDevice`` a scan on this radio would report."""
        peripheral = self.peripherals[address.upper()]
        return BLEDevice(peripheral.address, peripheral.name, {})

    def advertisement_data(
        self, address: str, *, stale: bool = False, dfu: bool = False, rssi: int = -60
    ) -> AdvertisementData:
        """The ``AdvertisementData`` of the lock's broadcast now (see
        :meth:`SimulatedLock.manufacturer_data` for ``stale`` and ``dfu``)."""
        peripheral = self.peripherals[address.upper()]
        return AdvertisementData(
            local_name=peripheral.name,
            manufacturer_data=peripheral.lock.manufacturer_data(stale=stale, dfu=dfu),
            service_data={},
            service_uuids=[SERVICE_UUID],
            tx_power=None,
            rssi=rssi,
            platform_data=(),
        )


class SimulatedBleakBackend(BaseBleakClient):
    """A bleak backend whose peripherals are simulated locks.

    Use the subclass bound to a radio, ``SimulatedRadio.backend``.
    """

    _radio: ClassVar[SimulatedRadio]
    _slots: ClassVar[ConnectionSlots]

    def __init__(
        self,
        address_or_ble_device: BLEDevice | str,
        *,
        disconnected_callback: Callable[[], None] | None = None,
        timeout: float = 10.0,
        **kwargs: Any,
    ) -> None:
        super().__init__(address_or_ble_device, disconnected_callback=disconnected_callback, timeout=timeout)
        self._peripheral: SimulatedPeripheral | None = None
        self._notify: NotifyCallback | None = None
        # Every connection gets a new serial; late notifications of an old
        # connection must not reach a new one.
        self._serial = 0
        self._writes_left: int | None = None
        self._last_write_serial = 0

    @property
    def name(self) -> str:
        peripheral = self._radio.peripherals.get(self.address.upper())
        return peripheral.name if peripheral else self.address.replace(":", "-")

    @property
    def mtu_size(self) -> int:
        return self._peripheral.link.mtu if self._peripheral else MIN_MTU

    @property
    def is_connected(self) -> bool:
        return self._peripheral is not None

    async def connect(self, pair: bool, **kwargs: Any) -> None:
        peripheral = self._radio.peripherals.get(self.address.upper())
        if peripheral is None:
            raise BleakDeviceNotFoundError(self.address, f"Device with address {self.address} was not found.")
        peripheral.connect_attempts += 1
        if not self._slots.take(self, peripheral.address):
            raise connect_error("no-slot", self.address)
        try:
            await self._connecting(peripheral)
        except BaseException:
            self._slots.give_back(self)
            raise

    async def _connecting(self, peripheral: SimulatedPeripheral) -> None:
        link = peripheral.link
        if link.connect_delay:
            await asyncio.sleep(link.connect_delay)
        if link.connect_errors:
            fault = link.connect_errors.pop(0)
            if fault.startswith("dropped-"):
                # Up and down again before connect() returns: BlueZ reports the drop.
                self._drop()
                await asyncio.sleep(0)
            if fault != "dropped-inside":
                raise connect_error(fault, self.address)
        peripheral.connections += 1
        peripheral.connected = True
        peripheral.lock.reset_link()
        self._serial += 1
        self._writes_left = link.drop_after_writes.pop(0) if link.drop_after_writes else None
        self.services = _services(link.write_properties, link.mtu, stale=link.stale_services)
        self._peripheral = peripheral
        if self._writes_left == 0:
            self._drop()
        else:
            self._restart_idle_timer()

    async def clear_cache(self) -> bool:
        """Forget the cached service table (``LinkFaults.stale_services``)."""
        peripheral = self._radio.peripherals.get(self.address.upper())
        if peripheral is None:
            return False
        peripheral.cache_clears += 1
        peripheral.link.stale_services = False
        return True

    async def disconnect(self) -> None:
        peripheral = self._peripheral
        if peripheral is None:
            return
        peripheral.disconnects += 1
        fault = peripheral.link.disconnect_errors.pop(0) if peripheral.link.disconnect_errors else None
        if fault == "hang":
            try:
                await asyncio.get_running_loop().create_future()
            finally:
                self._close()
        self._close()
        if fault is not None:
            raise disconnect_error(fault)

    async def pair(self, *args: Any, **kwargs: Any) -> None:
        """The lock needs no pairing."""

    async def unpair(self) -> None:
        """The lock needs no pairing."""

    async def read_gatt_char(
        self, characteristic: BleakGATTCharacteristic, *, use_cached: bool = False, **kwargs: Any
    ) -> bytearray:
        self._require_connected()
        raise BleakError(f"characteristic {characteristic.uuid} is not readable")

    async def read_gatt_descriptor(
        self, descriptor: BleakGATTDescriptor, *, use_cached: bool = False, **kwargs: Any
    ) -> bytearray:
        self._require_connected()
        return bytearray(b"\x01\x00" if self._notify else b"\x00\x00")

    async def write_gatt_char(self, characteristic: BleakGATTCharacteristic, data: SizedBuffer, response: bool) -> None:
        peripheral = self._require_connected()
        if characteristic.uuid != WRITE_CHARACTERISTIC:
            raise BleakError(f"characteristic {characteristic.uuid} is not writable")
        wanted: CharacteristicPropertyName = "write" if response else "write-without-response"
        if wanted not in characteristic.properties:
            raise BleakDBusError("org.bluez.Error.NotSupported", [f"Operation is not supported: {wanted}"])
        chunk = bytes(memoryview(data))
        if len(chunk) > peripheral.link.mtu - _ATT_HEADER:
            raise BleakDBusError("org.bluez.Error.InvalidValueLength", ["Invalid Length"])
        if response:
            await asyncio.sleep(0)  # the round trip of the write request
            peripheral = self._require_connected()
        peripheral.writes.append((chunk, response))
        self._deliver(peripheral, peripheral.lock.write(chunk))
        if self._writes_left is not None:
            self._writes_left -= 1
            if self._writes_left <= 0:
                self._drop()
                return
        self._restart_idle_timer()

    async def write_gatt_descriptor(self, descriptor: BleakGATTDescriptor, data: SizedBuffer) -> None:
        self._require_connected()
        raise BleakError("descriptors are written through start_notify and stop_notify")

    async def start_notify(
        self, characteristic: BleakGATTCharacteristic, callback: NotifyCallback, **kwargs: Any
    ) -> None:
        peripheral = self._require_connected()
        if characteristic.uuid != NOTIFY_CHARACTERISTIC:
            raise BleakError(f"characteristic {characteristic.uuid} does not notify")
        self._notify = callback
        await asyncio.sleep(0)
        # The stack can hand over notifications before the subscription call returns.
        while peripheral.link.early_notifications:
            callback(bytearray(peripheral.link.early_notifications.pop(0)))
        await asyncio.sleep(0)

    async def stop_notify(self, characteristic: BleakGATTCharacteristic) -> None:
        self._require_connected()
        self._notify = None

    def _require_connected(self) -> SimulatedPeripheral:
        if self._peripheral is None:
            raise BleakError("Not connected")
        return self._peripheral

    def _deliver(self, peripheral: SimulatedPeripheral, chunks: list[bytes]) -> None:
        size = peripheral.link.mtu - _ATT_HEADER
        notifications = [piece[i : i + size] for piece in chunks for i in range(0, len(piece), size)]
        if not notifications:
            return
        loop = asyncio.get_running_loop()
        serial = self._serial

        def deliver() -> None:
            if self._serial != serial or self._peripheral is None or self._notify is None:
                return  # the link went down: lost, as over the air
            for notification in notifications:
                self._notify(bytearray(notification))

        if peripheral.link.notify_delay:
            loop.call_later(peripheral.link.notify_delay, deliver)
        else:
            loop.call_soon(deliver)

    def _restart_idle_timer(self) -> None:
        peripheral = self._peripheral
        if peripheral is None or peripheral.link.drop_when_idle is None:
            return
        serial = self._serial

        def drop_if_idle() -> None:
            if self._serial == serial and self._peripheral is peripheral and self._last_write_serial == write_serial:
                peripheral.idle_drops += 1
                self._drop()

        self._last_write_serial += 1
        write_serial = self._last_write_serial
        asyncio.get_running_loop().call_later(peripheral.link.drop_when_idle, drop_if_idle)

    def _drop(self) -> None:
        """The link goes down without being asked to."""
        self._close()
        if self._disconnected_callback is not None:
            asyncio.get_running_loop().call_soon(self._disconnected_callback)

    def _close(self) -> None:
        if self._peripheral is not None:
            self._peripheral.connected = False
            self._peripheral.lock.reset_link()
            self._slots.give_back(self)
        self._peripheral = None
        self._notify = None
        self._serial += 1
        # As over BlueZ: the services go with the connection.
        self.services = None


def _services(
    write_properties: tuple[CharacteristicPropertyName, ...], mtu: int, *, stale: bool = False
) -> BleakGATTServiceCollection:
    services = BleakGATTServiceCollection()
    service = BleakGATTService(None, 1, SERVICE_UUID)
    services.add_service(service)

    def max_write() -> int:
        return mtu - _ATT_HEADER

    write = BleakGATTCharacteristic(None, 2, WRITE_CHARACTERISTIC, list(write_properties), max_write, service)
    notify = BleakGATTCharacteristic(None, 4, NOTIFY_CHARACTERISTIC, ["notify"], max_write, service)
    if not stale:
        services.add_characteristic(write)
    services.add_characteristic(notify)
    services.add_descriptor(BleakGATTDescriptor(None, 5, CCCD_UUID, notify))
    return services
