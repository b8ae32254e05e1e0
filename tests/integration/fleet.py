"""Several simulated locks, each with its config entry, behind simulated proxies."""

from __future__ import annotations

from dataclasses import dataclass, field

from homeassistant.const import CONF_ADDRESS
from homeassistant.core import HomeAssistant
from homeassistant.setup import async_setup_component
from pytest_homeassistant_custom_component.common import MockConfigEntry
from support.keys import AES_KEY, UNLOCK_KEY

from custom_components.quovel.const import CONF_AES_KEY, CONF_HOLD_LINK, CONF_UNLOCK_KEY, DOMAIN
from quovel_sim import SimulatedLock
from quovel_sim.bleak_backend import LinkFaults, SimulatedPeripheral, SimulatedRadio
from quovel_sim.homeassistant import SimulatedProxy, add_proxy


@dataclass
class Fleet:
    proxies: list[SimulatedProxy]
    peripherals: list[SimulatedPeripheral] = field(default_factory=list)
    entities: list[str] = field(default_factory=list)

    def advertise(self) -> None:
        """Every lock heard by every proxy."""
        for proxy in self.proxies:
            for peripheral in self.peripherals:
                proxy.advertise(peripheral)


async def set_up_fleet(
    hass: HomeAssistant,
    radio: SimulatedRadio,
    *,
    locks: int,
    proxies: int,
    slots: int,
    hold: float | None = None,
    link: LinkFaults | None = None,
) -> Fleet:
    """``locks`` locks set up as entries, heard by ``proxies`` proxies of ``slots`` slots each."""
    fleet = Fleet(
        [add_proxy(hass, radio, source=f"AA:BB:CC:DD:EE:{n:02X}", connection_slots=slots) for n in range(proxies)]
    )
    for n in range(locks):
        address = f"C4:3A:51:0B:{n // 256:02X}:{n % 256:02X}"
        faults = (
            LinkFaults()
            if link is None
            else LinkFaults(connect_delay=link.connect_delay, notify_delay=link.notify_delay)
        )
        fleet.peripherals.append(
            radio.add(SimulatedLock(aes_key=AES_KEY, unlock_key=UNLOCK_KEY, address=address), faults)
        )
        entry = MockConfigEntry(
            domain=DOMAIN,
            title=f"Door {n:02}",
            unique_id=address,
            data={CONF_ADDRESS: address, CONF_AES_KEY: AES_KEY.hex(), CONF_UNLOCK_KEY: UNLOCK_KEY},
            options={} if hold is None else {CONF_HOLD_LINK: hold},
        )
        entry.add_to_hass(hass)
        fleet.entities.append(f"lock.door_{n:02}")
    fleet.advertise()
    assert await async_setup_component(hass, DOMAIN, {})
    await hass.async_block_till_done()
    return fleet
