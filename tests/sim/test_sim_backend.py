"""The simulated backend as bleak's own BleakClient sees it."""

from __future__ import annotations

import asyncio

import pytest

pytest.importorskip("bleak", reason="the simulated backend needs the [bleak] extra")

from bleak import BleakClient
from bleak.backends.characteristic import BleakGATTCharacteristic
from bleak.exc import BleakDBusError, BleakDeviceNotFoundError, BleakError
from support.keys import SIM_AES_KEY as AES_KEY

import quovel
from quovel_sim import SimulatedLock
from quovel_sim.bleak_backend import LinkFaults, SimulatedRadio
from quovel_sim.virtual_time import run


def radio_with(link: LinkFaults | None = None) -> tuple[SimulatedRadio, BleakClient, list[BleakClient]]:
    radio = SimulatedRadio()
    lock = SimulatedLock(aes_key=AES_KEY, unlock_key=305419896)
    radio.add(lock, link)
    dropped: list[BleakClient] = []
    client = BleakClient(radio.ble_device(lock.address), dropped.append, backend=radio.backend)
    return radio, client, dropped


async def status_exchange(client: BleakClient) -> list[tuple[BleakGATTCharacteristic, bytearray]]:
    heard: list[tuple[BleakGATTCharacteristic, bytearray]] = []
    await client.start_notify(quovel.NOTIFY_CHARACTERISTIC, lambda sender, data: heard.append((sender, data)))
    packet = quovel.StatusOp(AES_KEY).start()[1]
    for offset in range(0, len(packet), quovel.WRITE_CHUNK):
        await client.write_gatt_char(quovel.WRITE_CHARACTERISTIC, packet[offset : offset + 20], response=False)
    await asyncio.sleep(0.01)
    return heard


def test_services_notifications_and_errors_go_through_bleak():
    _radio, client, dropped = radio_with()

    async def session() -> None:
        with pytest.raises(BleakError, match="Not connected"):
            await client.start_notify(quovel.NOTIFY_CHARACTERISTIC, lambda sender, data: None)
        await client.connect()
        assert client.services.get_service(quovel.SERVICE_UUID) is not None
        heard = await status_exchange(client)
        assert heard and all(type(data) is bytearray for _, data in heard)
        assert {sender.uuid for sender, _ in heard} == {quovel.NOTIFY_CHARACTERISTIC}
        assert client.mtu_size == 23
        await client.disconnect()
        assert not client.is_connected and dropped == []  # asked for: no callback

    run(session())


@pytest.mark.parametrize(
    ("fault", "error", "text"),
    [
        ("not-found", BleakDeviceNotFoundError, "was not found"),
        ("aborted", BleakDBusError, "le-connection-abort-by-local"),
        ("timeout", TimeoutError, None),
        ("eof", EOFError, None),
        ("services-changed", KeyError, "org.bluez.GattService1"),
    ],
)
def test_connect_errors_are_raised_as_bluez_raises_them(fault, error, text):
    _, client, _ = radio_with(LinkFaults(connect_errors=[fault]))

    async def session() -> None:
        with pytest.raises(error, match=text):
            await client.connect()
        await client.connect()  # used up
        assert client.is_connected

    run(session())


def test_an_unknown_address_is_not_found():
    radio = SimulatedRadio()
    client = BleakClient("AA:BB:CC:DD:EE:FF", backend=radio.backend)
    with pytest.raises(BleakDeviceNotFoundError):
        run(client.connect())


def test_a_drop_calls_back_and_later_writes_fail_like_bleak():
    _radio, client, dropped = radio_with(LinkFaults(drop_after_writes=[1]))

    async def session() -> None:
        await client.connect()
        with pytest.raises(BleakError, match="Service Discovery has not been performed yet"):
            await status_exchange(client)
        await asyncio.sleep(0)
        assert dropped == [client] and not client.is_connected

    run(session())


def test_early_and_late_notifications_and_the_mtu():
    radio, client, _ = radio_with(LinkFaults(early_notifications=[b"\x01\x02"], notify_delay=2.0, mtu=100))
    (peripheral,) = radio.peripherals.values()
    peripheral.lock.notify_chunk = 200

    async def session() -> float:
        await client.connect()
        heard = await status_exchange(client)
        assert [bytes(data) for _, data in heard] == [b"\x01\x02"]  # before start_notify returned
        await asyncio.sleep(2.0)
        # The whole 31-byte reply fits one notification under this MTU.
        assert [len(data) for _, data in heard[1:]] == [31]
        with pytest.raises(BleakDBusError, match="Invalid Length"):
            await client.write_gatt_char(quovel.WRITE_CHARACTERISTIC, bytes(98), response=False)
        return client.mtu_size

    assert run(session()) == 100


@pytest.mark.parametrize(("fault", "error"), [("dbus-error", BleakDBusError), ("timeout", TimeoutError)])
def test_a_failing_disconnect_still_takes_the_link_down(fault, error):
    _, client, _ = radio_with(LinkFaults(disconnect_errors=[fault]))

    async def session() -> None:
        await client.connect()
        with pytest.raises(error):
            await client.disconnect()
        assert not client.is_connected

    run(session())


def test_virtual_time_skips_waits_but_keeps_their_order():
    async def session() -> tuple[list[str], float]:
        order: list[str] = []

        async def after(seconds: float, name: str) -> None:
            await asyncio.sleep(seconds)
            order.append(name)

        await asyncio.gather(after(3600, "hour"), after(1, "second"), after(60, "minute"))
        return order, asyncio.get_running_loop().time()

    assert run(session()) == (["second", "minute", "hour"], 3600)


@pytest.mark.parametrize(
    ("fault", "error"),
    [("dropped-inside", None), ("dropped-then-aborted", BleakDBusError), ("dropped-then-services-changed", KeyError)],
)
def test_a_link_can_come_up_and_drop_inside_connect(fault, error):
    _, client, dropped = radio_with(LinkFaults(connect_errors=[fault]))

    async def session() -> None:
        if error is None:
            await client.connect()
        else:
            with pytest.raises(error):
                await client.connect()
        # BlueZ reported the short-lived link before connect() returned.
        assert dropped == [client]
        assert client.is_connected is (error is None)

    run(session())


def test_a_proxy_without_a_slot_says_so():
    _, client, _ = radio_with(LinkFaults(connect_errors=["no-slot"]))
    with pytest.raises(TimeoutError, match="connection slot"):
        run(client.connect())


def test_the_lock_drops_an_idle_link_and_a_hung_disconnect_never_returns():
    radio, client, dropped = radio_with(LinkFaults(drop_when_idle=3.0, disconnect_errors=["hang"]))
    (peripheral,) = radio.peripherals.values()

    async def session() -> None:
        await client.connect()
        await asyncio.sleep(2.0)
        await status_exchange(client)  # a write restarts the lock's idle timer
        await asyncio.sleep(2.5)
        assert client.is_connected
        await asyncio.sleep(1.0)
        assert not client.is_connected and dropped == [client] and peripheral.idle_drops == 1
        await client.connect()
        with pytest.raises(TimeoutError):
            async with asyncio.timeout(5.0):
                await client.disconnect()
        # Given up on: the link goes down all the same.
        assert not peripheral.connected

    run(session())


def test_a_stale_service_table_lasts_until_the_cache_is_cleared():
    radio, client, _ = radio_with(LinkFaults(stale_services=True))
    (peripheral,) = radio.peripherals.values()

    async def session() -> None:
        await client.connect()
        assert client.services.get_characteristic(quovel.WRITE_CHARACTERISTIC) is None
        await client.disconnect()
        assert await client._backend.clear_cache() is True
        await client.connect()
        assert client.services.get_characteristic(quovel.WRITE_CHARACTERISTIC) is not None

    run(session())
    assert peripheral.cache_clears == 1
