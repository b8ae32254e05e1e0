"""The simulated scanner backend as bleak's own BleakScanner sees it."""

from __future__ import annotations

import asyncio

import pytest

pytest.importorskip("bleak", reason="the simulated scanner needs the [bleak] extra")

from bleak import BleakScanner
from bleak.backends.device import BLEDevice
from bleak.backends.scanner import AdvertisementData
from bleak.exc import BleakDBusError, BleakError
from support.keys import ADDRESS
from support.keys import SIM_AES_KEY as AES_KEY

import quovel
from quovel_sim import SimulatedLock
from quovel_sim.bleak_backend import SimulatedRadio
from quovel_sim.scanner import advertise, broadcast, scanner_backend, scanner_faults
from quovel_sim.virtual_time import run


def test_advertisements_reach_bleak_scanner_and_its_filters() -> None:
    radio = SimulatedRadio()
    lock = SimulatedLock(aes_key=AES_KEY, unlock_key=305419896, address=ADDRESS, locked=False, battery=42)
    peripheral = radio.add(lock)
    heard: list[tuple[BLEDevice, AdvertisementData]] = []

    async def scenario() -> None:
        everything = BleakScanner(lambda d, a: heard.append((d, a)), backend=scanner_backend(radio))
        elsewhere = BleakScanner(
            lambda d, a: heard.append((d, a)), ["0000180f-0000-1000-8000-00805f9b34fb"], backend=scanner_backend(radio)
        )
        await everything.start()
        await elsewhere.start()
        assert advertise(radio, ADDRESS) == 2
        assert everything.discovered_devices_and_advertisement_data[ADDRESS][0].address == ADDRESS
        assert elsewhere.discovered_devices == []  # bleak's own service-UUID filter
        # A connected lock does not advertise; one out of range is not heard.
        peripheral.connected = True
        assert advertise(radio, ADDRESS) == 0
        peripheral.connected = False
        scanner_faults(radio).out_of_range.add(ADDRESS)
        task = asyncio.create_task(broadcast(radio, 1.0))
        await asyncio.sleep(2.5)
        assert len(heard) == 1
        scanner_faults(radio).out_of_range.clear()
        await asyncio.sleep(2)
        task.cancel()
        await everything.stop()
        assert advertise(radio, ADDRESS) == 1

    run(scenario())
    device, advertisement = heard[-1]
    assert quovel.SERVICE_UUID in advertisement.service_uuids
    chosen = quovel.select_advertisement(advertisement.manufacturer_data, device.address)
    assert (chosen.kind, chosen.is_unlocked, chosen.battery) == ("stateful", True, 42)


@pytest.mark.parametrize(("fault", "error"), [("no-adapter", BleakError), ("not-ready", BleakDBusError)])
def test_a_failing_start(fault: str, error: type[Exception]) -> None:
    radio = SimulatedRadio()
    scanner_faults(radio).start_errors.append(fault)  # type: ignore[arg-type]
    scanner = BleakScanner(lambda d, a: None, bluez={"adapter": "hci1"}, backend=scanner_backend(radio))
    with pytest.raises(error, match="hci1" if fault == "no-adapter" else "NotReady"):
        run(scanner.start())
    run(scanner.start())  # the next start succeeds
