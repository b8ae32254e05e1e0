"""The diagnostics dump holds what helps and no key, in any spelling."""

from __future__ import annotations

import base64
import json

from homeassistant.core import HomeAssistant
from homeassistant.setup import async_setup_component
from pytest_homeassistant_custom_component.common import MockConfigEntry
from pytest_homeassistant_custom_component.components.diagnostics import get_diagnostics_for_config_entry
from pytest_homeassistant_custom_component.typing import ClientSessionGenerator
from support.keys import ADDRESS, AES_KEY, UNLOCK_KEY
from test_config_flow import credential

from quovel_sim.bleak_backend import SimulatedPeripheral
from quovel_sim.homeassistant import SimulatedProxy


def spellings() -> list[str]:
    """Every way the dump could carry a key, as text in its JSON form."""
    forms = [
        AES_KEY.hex(),
        AES_KEY.hex().upper(),
        AES_KEY.hex(":"),
        AES_KEY.hex(":").upper(),
        AES_KEY.hex(" "),
        repr(AES_KEY),
        repr(bytearray(AES_KEY)),
        str(list(AES_KEY)),
        base64.b64encode(AES_KEY).decode(),
        str(UNLOCK_KEY),
        f"{UNLOCK_KEY:x}",
        f"{UNLOCK_KEY:X}",
        UNLOCK_KEY.to_bytes(4, "big").hex(),
        UNLOCK_KEY.to_bytes(4, "little").hex(),
        credential(UNLOCK_KEY),
    ]
    return forms + [json.dumps(form)[1:-1] for form in forms]


async def test_the_dump_redacts_every_key(
    hass: HomeAssistant,
    hass_client: ClientSessionGenerator,
    proxy: SimulatedProxy,
    peripheral: SimulatedPeripheral,
    entry: MockConfigEntry,
) -> None:
    assert await async_setup_component(hass, "diagnostics", {})
    assert await hass.config_entries.async_setup(entry.entry_id)
    proxy.advertise(peripheral)
    await hass.async_block_till_done()
    await hass.services.async_call("lock", "unlock", {"entity_id": "lock.front_door"}, blocking=True)
    dump = await get_diagnostics_for_config_entry(hass, hass_client, entry)
    text = json.dumps(dump)
    leaked = [form for form in spellings() if form.lower() in text.lower()]
    assert leaked == []
    assert dump["entry"]["data"] == {"address": ADDRESS, "aes_key": "**REDACTED**", "unlock_key": "**REDACTED**"}
    lock = dump["lock"]
    assert (lock["state"], lock["pending"], lock["available"], lock["battery"]) == ("UNLOCKED", None, True, 85)
    assert lock["version"]["scene"] == 2
    assert lock["timing"]["reply_timeout"] > 0
    assert dump["last_service_info"]["address"] == ADDRESS
    # Nothing of the client, whose state holds the keys, is dumped whole.
    assert "LockClient" not in text and "_aes_key" not in text
