"""The config flow: discovery, the user's pick, keys with every error, reauthentication, options."""

from __future__ import annotations

import base64
import json
import time
from pathlib import Path
from typing import Any
from unittest.mock import patch

import pytest
from homeassistant import config_entries
from homeassistant.components.bluetooth import async_last_service_info
from homeassistant.const import CONF_ADDRESS
from homeassistant.core import HomeAssistant
from homeassistant.data_entry_flow import FlowResultType
from pytest_homeassistant_custom_component.common import MockConfigEntry, start_reauth_flow
from support.keys import ADDRESS, AES_KEY, UNLOCK_KEY

from custom_components.quovel.const import (
    CHECK_DEADLINE,
    CONF_AES_KEY,
    CONF_CREDENTIAL,
    CONF_HOLD_LINK,
    CONF_SUSPECT,
    CONF_UNLOCK_KEY,
    DOMAIN,
)
from quovel_sim import Faults, ProtocolHeader
from quovel_sim.advertising import STALE_COMPANY_ID, stateless_entry
from quovel_sim.bleak_backend import LinkFaults, SimulatedPeripheral
from quovel_sim.homeassistant import SimulatedProxy
from quovel_sim.wire import CRC8_TABLE

TRANSLATIONS = json.loads(
    (Path(__file__).parents[2] / "custom_components/quovel/translations/en.json").read_text(encoding="utf-8")
)
KEYS = {CONF_AES_KEY: AES_KEY.hex(), CONF_UNLOCK_KEY: str(UNLOCK_KEY), CONF_CREDENTIAL: ""}


def credential(value: int) -> str:
    """The encoded form of an unlock key: its digits masked with a key byte, as a byte list."""
    digits = str(value).encode()
    n = len(digits)
    key = 0x5C
    return base64.b64encode(
        ",".join(str(b) for b in [*(d ^ key for d in digits), key ^ CRC8_TABLE[n]]).encode()
    ).decode()


def listed(text: str) -> str:
    return base64.b64encode(text.encode()).decode()


async def discovered(
    hass: HomeAssistant,
    proxy: SimulatedProxy,
    peripheral: SimulatedPeripheral,
    manufacturer_data: dict[int, bytes] | None = None,
) -> dict[str, Any]:
    """The flow Home Assistant's matcher starts from the manifest when the lock advertises."""
    proxy.advertise(peripheral, manufacturer_data=manufacturer_data)
    await hass.async_block_till_done(wait_background_tasks=True)
    flows = hass.config_entries.flow.async_progress_by_handler(DOMAIN)
    assert [flow["context"]["source"] for flow in flows] == [config_entries.SOURCE_BLUETOOTH]
    assert flows[0]["step_id"] == "bluetooth_confirm"
    return dict(flows[0])


async def test_discovery_creates_an_entry_once_the_lock_answers(
    hass: HomeAssistant, proxy: SimulatedProxy, peripheral: SimulatedPeripheral
) -> None:
    flow = await discovered(hass, proxy, peripheral)
    result = await hass.config_entries.flow.async_configure(
        flow["flow_id"], {CONF_AES_KEY: AES_KEY.hex(":").upper(), CONF_CREDENTIAL: credential(UNLOCK_KEY)}
    )
    assert result["type"] is FlowResultType.CREATE_ENTRY
    assert result["data"] == {CONF_ADDRESS: ADDRESS, CONF_AES_KEY: AES_KEY.hex(), CONF_UNLOCK_KEY: UNLOCK_KEY}
    assert result["result"].unique_id == ADDRESS
    # The AES key was checked with a status query, and nothing moved.
    assert peripheral.connections == 1 and peripheral.lock.locked
    assert not peripheral.connected


async def test_a_device_without_the_lock_service_is_not_offered(
    hass: HomeAssistant, proxy: SimulatedProxy, peripheral: SimulatedPeripheral
) -> None:
    # A beacon's manufacturer entry decodes too; only the service UUID tells a lock.
    proxy.advertise(peripheral, service_uuids=[])
    await hass.async_block_till_done()
    info = async_last_service_info(hass, ADDRESS, connectable=True)
    assert info is not None
    result = await hass.config_entries.flow.async_init(
        DOMAIN, context={"source": config_entries.SOURCE_BLUETOOTH}, data=info
    )
    assert result["type"] is FlowResultType.ABORT and result["reason"] == "not_supported"
    result = await hass.config_entries.flow.async_init(DOMAIN, context={"source": config_entries.SOURCE_USER})
    assert result["type"] is FlowResultType.ABORT and result["reason"] == "no_devices_found"


async def test_the_user_picks_a_heard_lock(
    hass: HomeAssistant, proxy: SimulatedProxy, peripheral: SimulatedPeripheral
) -> None:
    await discovered(hass, proxy, peripheral)
    result = await hass.config_entries.flow.async_init(DOMAIN, context={"source": config_entries.SOURCE_USER})
    assert result["type"] is FlowResultType.FORM and result["step_id"] == "user"
    result = await hass.config_entries.flow.async_configure(result["flow_id"], {CONF_ADDRESS: ADDRESS})
    assert result["step_id"] == "keys"
    result = await hass.config_entries.flow.async_configure(result["flow_id"], KEYS)
    assert result["type"] is FlowResultType.CREATE_ENTRY
    assert result["title"] == "Simulated lock"
    # The discovery flow Home Assistant started for the same lock is gone with it.
    assert not hass.config_entries.flow.async_progress_by_handler(DOMAIN)
    # Configured locks are neither offered nor set up twice.
    result = await hass.config_entries.flow.async_init(DOMAIN, context={"source": config_entries.SOURCE_USER})
    assert result["type"] is FlowResultType.ABORT and result["reason"] == "no_devices_found"
    info = async_last_service_info(hass, ADDRESS, connectable=True)
    result = await hass.config_entries.flow.async_init(
        DOMAIN, context={"source": config_entries.SOURCE_BLUETOOTH}, data=info
    )
    assert result["type"] is FlowResultType.ABORT and result["reason"] == "already_configured"


NOT_UTF8 = base64.b64encode(b"\xff\xfe").decode()


@pytest.mark.parametrize(
    ("entered", "field", "error"),
    [
        ({CONF_AES_KEY: "zz" * 16}, CONF_AES_KEY, "hex_decode"),
        ({CONF_AES_KEY: "00" * 15}, CONF_AES_KEY, "aes_key_length"),
        ({CONF_AES_KEY: ""}, CONF_AES_KEY, "aes_key_length"),
        ({CONF_UNLOCK_KEY: "0"}, CONF_UNLOCK_KEY, "invalid_unlock_key"),
        ({CONF_UNLOCK_KEY: "4294967296"}, CONF_UNLOCK_KEY, "invalid_unlock_key"),
        ({CONF_UNLOCK_KEY: ""}, CONF_UNLOCK_KEY, "unlock_key_missing"),
        ({CONF_CREDENTIAL: credential(UNLOCK_KEY)}, CONF_CREDENTIAL, "unlock_key_and_credential"),
        ({CONF_UNLOCK_KEY: "", CONF_CREDENTIAL: "abc"}, CONF_CREDENTIAL, "base64_decode"),
        ({CONF_UNLOCK_KEY: "", CONF_CREDENTIAL: NOT_UTF8}, CONF_CREDENTIAL, "utf8_decode"),
        ({CONF_UNLOCK_KEY: "", CONF_CREDENTIAL: listed("1,300")}, CONF_CREDENTIAL, "protocol"),
        ({CONF_UNLOCK_KEY: "", CONF_CREDENTIAL: listed(" , ")}, CONF_CREDENTIAL, "credential_out_of_range"),
        ({CONF_UNLOCK_KEY: "", CONF_CREDENTIAL: credential(0)}, CONF_CREDENTIAL, "invalid_unlock_key"),
    ],
)
async def test_each_key_error_is_shown_on_its_field(
    hass: HomeAssistant,
    proxy: SimulatedProxy,
    peripheral: SimulatedPeripheral,
    entered: dict[str, str],
    field: str,
    error: str,
) -> None:
    result = await discovered(hass, proxy, peripheral)
    result = await hass.config_entries.flow.async_configure(result["flow_id"], KEYS | entered)
    assert result["type"] is FlowResultType.FORM
    assert result["errors"] == {field: error}
    assert error in TRANSLATIONS["config"]["error"]
    assert peripheral.connect_attempts == 0  # nothing is sent with a key that cannot be one
    # The form can be corrected.
    result = await hass.config_entries.flow.async_configure(result["flow_id"], KEYS)
    assert result["type"] is FlowResultType.CREATE_ENTRY


@pytest.mark.parametrize(
    ("lock_key", "faults", "link", "can_connect", "errors"),
    [
        (bytes(16), Faults(), LinkFaults(), True, {CONF_AES_KEY: "handshake_refused"}),
        (AES_KEY, Faults(silent=True), LinkFaults(), True, {"base": "cannot_connect"}),
        (AES_KEY, Faults(), LinkFaults(connect_errors=["aborted"] * 20), True, {"base": "cannot_connect"}),
        (AES_KEY, Faults(), LinkFaults(), False, {"base": "no_connection_slot"}),
    ],
    ids=["refused", "silent", "unreachable", "no-slot"],
)
async def test_a_failed_check_is_shown_and_can_be_repeated(
    hass: HomeAssistant,
    proxy: SimulatedProxy,
    peripheral: SimulatedPeripheral,
    lock_key: bytes,
    faults: Faults,
    link: LinkFaults,
    can_connect: bool,
    errors: dict[str, str],
) -> None:
    peripheral.lock.aes_key = lock_key
    peripheral.lock.faults = faults
    peripheral.link = link
    connectable = [can_connect]
    proxy.connector.can_connect = lambda: connectable[0]
    result = await discovered(hass, proxy, peripheral)
    result = await hass.config_entries.flow.async_configure(result["flow_id"], KEYS)
    assert result["type"] is FlowResultType.FORM and result["errors"] == errors
    assert set(errors.values()) <= set(TRANSLATIONS["config"]["error"])
    assert not peripheral.connected
    peripheral.lock.aes_key = AES_KEY
    peripheral.lock.faults = Faults()
    peripheral.link = LinkFaults()
    connectable[0] = True
    result = await hass.config_entries.flow.async_configure(result["flow_id"], KEYS)
    assert result["type"] is FlowResultType.CREATE_ENTRY


async def test_an_unreachable_lock_is_reported_within_the_check_deadline(
    hass: HomeAssistant, proxy: SimulatedProxy, peripheral: SimulatedPeripheral
) -> None:
    # Every connection attempt hangs, as one to a lock out of range does.
    peripheral.link = LinkFaults(connect_delay=60.0)
    result = await discovered(hass, proxy, peripheral)
    started = time.monotonic()
    result = await hass.config_entries.flow.async_configure(result["flow_id"], KEYS)
    took = time.monotonic() - started
    print(f"\nconfig flow: 'cannot connect' after {took:.1f} s, {peripheral.connect_attempts} connection attempts")
    assert result["errors"] == {"base": "cannot_connect"}
    assert took < CHECK_DEADLINE + 2


@pytest.mark.parametrize("suspect", [CONF_AES_KEY, CONF_UNLOCK_KEY])
async def test_reauthentication_asks_for_the_refused_key(
    hass: HomeAssistant, proxy: SimulatedProxy, peripheral: SimulatedPeripheral, entry: MockConfigEntry, suspect: str
) -> None:
    proxy.advertise(peripheral)
    await hass.async_block_till_done()
    old = dict(entry.data)
    hass.config_entries.async_update_entry(entry, data=old | {CONF_AES_KEY: "00" * 16, CONF_UNLOCK_KEY: 1})
    result = await entry.start_reauth_flow(hass, data={CONF_SUSPECT: suspect})
    assert result["type"] is FlowResultType.FORM
    assert result["step_id"] == f"reauth_{suspect}"
    assert set(result["data_schema"].schema) == (
        {CONF_AES_KEY} if suspect == CONF_AES_KEY else {CONF_UNLOCK_KEY, CONF_CREDENTIAL}
    )
    if suspect == CONF_AES_KEY:
        # Checked against the lock: a wrong key is refused there.
        result = await hass.config_entries.flow.async_configure(result["flow_id"], {CONF_AES_KEY: "11" * 16})
        assert result["errors"] == {CONF_AES_KEY: "handshake_refused"}
        result = await hass.config_entries.flow.async_configure(result["flow_id"], {CONF_AES_KEY: "0"})
        assert result["errors"] == {CONF_AES_KEY: "hex_decode"}
        answer = {CONF_AES_KEY: AES_KEY.hex().upper()}
    else:
        result = await hass.config_entries.flow.async_configure(result["flow_id"], {CONF_UNLOCK_KEY: "x"})
        assert result["errors"] == {CONF_UNLOCK_KEY: "invalid_unlock_key"}
        answer = {CONF_CREDENTIAL: credential(UNLOCK_KEY)}
    result = await hass.config_entries.flow.async_configure(result["flow_id"], answer)
    assert result["type"] is FlowResultType.ABORT and result["reason"] == "reauth_successful"
    assert entry.data[suspect] == old[suspect]
    await hass.async_block_till_done()  # the entry is set up again with the key
    assert entry.state is config_entries.ConfigEntryState.LOADED
    assert await hass.config_entries.async_unload(entry.entry_id)


async def test_options_set_how_long_the_link_is_held(
    hass: HomeAssistant, proxy: SimulatedProxy, peripheral: SimulatedPeripheral, entry: MockConfigEntry
) -> None:
    assert await hass.config_entries.async_setup(entry.entry_id)
    result = await hass.config_entries.options.async_init(entry.entry_id)
    assert result["type"] is FlowResultType.FORM
    result = await hass.config_entries.options.async_configure(result["flow_id"], {CONF_HOLD_LINK: 0})
    assert result["type"] is FlowResultType.CREATE_ENTRY
    await hass.async_block_till_done()
    # Reloaded with the new timing.
    assert entry.runtime_data.monitor.client.timing.hold_link == 0


async def test_an_unexpected_failure_of_the_check_is_reported(
    hass: HomeAssistant, proxy: SimulatedProxy, peripheral: SimulatedPeripheral
) -> None:
    flow = await discovered(hass, proxy, peripheral)
    with patch("quovel_bleak.LockClient.status", side_effect=RuntimeError("boom")):
        result = await hass.config_entries.flow.async_configure(flow["flow_id"], KEYS)
    assert result["errors"] == {"base": "unknown"}


@pytest.mark.parametrize(
    ("header", "broadcast"),
    [
        # Stateless broadcasts: the version is all they carry.
        (ProtocolHeader(protocol_version=1), {STALE_COMPANY_ID: stateless_entry(ADDRESS, protocol_version=1)}),
        (ProtocolHeader(scene=1), None),
    ],
    ids=["version-1", "scene-1"],
)
async def test_the_key_is_checked_with_the_header_the_lock_broadcasts(
    hass: HomeAssistant,
    proxy: SimulatedProxy,
    peripheral: SimulatedPeripheral,
    header: ProtocolHeader,
    broadcast: dict[int, bytes] | None,
) -> None:
    # The lock refuses a request framed with any other header, as it would a wrong key.
    peripheral.lock.header = header
    flow = await discovered(hass, proxy, peripheral, broadcast)
    result = await hass.config_entries.flow.async_configure(flow["flow_id"], KEYS)
    assert result["type"] is FlowResultType.CREATE_ENTRY
    entry = result["result"]
    await hass.async_block_till_done()
    # Reauthentication, of the running entry and then of an unloaded one, can succeed too.
    for loaded in (True, False):
        assert (entry.state is config_entries.ConfigEntryState.LOADED) is loaded
        result = await start_reauth_flow(hass, entry, data={CONF_SUSPECT: CONF_AES_KEY})
        result = await hass.config_entries.flow.async_configure(result["flow_id"], {CONF_AES_KEY: AES_KEY.hex()})
        assert result["type"] is FlowResultType.ABORT and result["reason"] == "reauth_successful"
        await hass.async_block_till_done()
        assert await hass.config_entries.async_unload(entry.entry_id)
    assert peripheral.lock.journal and not any("header" in line for line in peripheral.lock.journal)
