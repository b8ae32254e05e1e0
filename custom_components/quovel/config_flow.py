"""Setting a lock up: discovery or a pick from the locks heard, its keys, checked."""

from __future__ import annotations

import logging
from collections.abc import Mapping
from typing import Any, override

import probatio
from homeassistant.components.bluetooth import (
    BluetoothServiceInfoBleak,
    async_ble_device_from_address,
    async_discovered_service_info,
    async_last_service_info,
)
from homeassistant.config_entries import ConfigEntryState, ConfigFlow, ConfigFlowResult, OptionsFlowWithReload
from homeassistant.const import CONF_ADDRESS
from homeassistant.core import callback
from homeassistant.helpers.selector import (
    NumberSelector,
    NumberSelectorConfig,
    NumberSelectorMode,
    TextSelector,
    TextSelectorConfig,
    TextSelectorType,
)

import quovel
from quovel_bleak import LockClient, LockError, Timing, is_lock_advertisement

from .const import CHECK_DEADLINE, CONF_AES_KEY, CONF_CREDENTIAL, CONF_HOLD_LINK, CONF_SUSPECT, CONF_UNLOCK_KEY, DOMAIN
from .device import QuovelConfigEntry
from .slots import slot_pool

_LOGGER = logging.getLogger(__name__)

_SECRET = TextSelector(TextSelectorConfig(type=TextSelectorType.PASSWORD))
# Kinds of quovel's key errors that have a message of their own in the form.
_AES_KEY_ERRORS = frozenset({"hex_decode", "aes_key_length"})
_CREDENTIAL_ERRORS = frozenset(
    {"base64_decode", "utf8_decode", "protocol", "credential_out_of_range", "invalid_unlock_key"}
)

_AES_KEY_FIELDS = {probatio.Required(CONF_AES_KEY): _SECRET}
_UNLOCK_KEY_FIELDS = {
    probatio.Optional(CONF_UNLOCK_KEY, default=""): _SECRET,
    probatio.Optional(CONF_CREDENTIAL, default=""): _SECRET,
}
_AES_KEY_SCHEMA = probatio.Schema(_AES_KEY_FIELDS)
_UNLOCK_KEY_SCHEMA = probatio.Schema(_UNLOCK_KEY_FIELDS)
_KEYS_SCHEMA = probatio.Schema(_AES_KEY_FIELDS | _UNLOCK_KEY_FIELDS)


def _kind(error: quovel.QuovelError, known: frozenset[str], fallback: str) -> str:
    kind = getattr(error, "kind", None)
    return kind if kind in known else fallback


def _aes_key(user_input: Mapping[str, Any], errors: dict[str, str]) -> str | None:
    try:
        return quovel.normalize_aes_key(user_input.get(CONF_AES_KEY, ""))
    except quovel.QuovelError as error:
        errors[CONF_AES_KEY] = _kind(error, _AES_KEY_ERRORS, "invalid_aes_key")
        return None


def _unlock_key(user_input: Mapping[str, Any], errors: dict[str, str]) -> int | None:
    """The unlock key, typed as a number or as the encoded credential that holds it."""
    typed = str(user_input.get(CONF_UNLOCK_KEY, "")).strip()
    credential = str(user_input.get(CONF_CREDENTIAL, "")).strip()
    if typed and credential:
        errors[CONF_CREDENTIAL] = "unlock_key_and_credential"
    elif credential:
        try:
            return quovel.normalize_unlock_key(quovel.decode_credential(credential))
        except quovel.QuovelError as error:
            errors[CONF_CREDENTIAL] = _kind(error, _CREDENTIAL_ERRORS, "invalid_credential")
    elif typed:
        try:
            return quovel.normalize_unlock_key(typed)
        except quovel.QuovelError:
            errors[CONF_UNLOCK_KEY] = "invalid_unlock_key"
    else:
        errors[CONF_UNLOCK_KEY] = "unlock_key_missing"
    return None


class QuovelConfigFlow(ConfigFlow, domain=DOMAIN):
    VERSION = 1

    def __init__(self) -> None:
        self._discovered: dict[str, BluetoothServiceInfoBleak] = {}
        self._info: BluetoothServiceInfoBleak | None = None

    @staticmethod
    @callback
    @override
    def async_get_options_flow(config_entry: QuovelConfigEntry) -> QuovelOptionsFlow:
        return QuovelOptionsFlow()

    @override
    async def async_step_bluetooth(self, discovery_info: BluetoothServiceInfoBleak) -> ConfigFlowResult:
        await self.async_set_unique_id(discovery_info.address)
        self._abort_if_unique_id_configured()
        if not is_lock_advertisement(discovery_info.service_uuids, discovery_info.manufacturer_data):
            return self.async_abort(reason="not_supported")
        self._info = discovery_info
        self.context["title_placeholders"] = {"name": self._title()}
        return await self.async_step_bluetooth_confirm()

    async def async_step_bluetooth_confirm(self, user_input: dict[str, Any] | None = None) -> ConfigFlowResult:
        return await self._keys_step("bluetooth_confirm", user_input)

    @override
    async def async_step_user(self, user_input: dict[str, Any] | None = None) -> ConfigFlowResult:
        if user_input is not None:
            address = user_input[CONF_ADDRESS]
            await self.async_set_unique_id(address, raise_on_progress=False)
            self._abort_if_unique_id_configured()
            self._info = self._discovered[address]
            return await self.async_step_keys()
        configured = self._async_current_ids(include_ignore=False)
        for info in async_discovered_service_info(self.hass, connectable=True):
            if info.address not in configured and is_lock_advertisement(info.service_uuids, info.manufacturer_data):
                self._discovered[info.address] = info
        if not self._discovered:
            return self.async_abort(reason="no_devices_found")
        choices = {address: f"{info.name} ({address})" for address, info in self._discovered.items()}
        return self.async_show_form(
            step_id="user", data_schema=probatio.Schema({probatio.Required(CONF_ADDRESS): probatio.In(choices)})
        )

    async def async_step_keys(self, user_input: dict[str, Any] | None = None) -> ConfigFlowResult:
        return await self._keys_step("keys", user_input)

    async def _keys_step(self, step_id: str, user_input: dict[str, Any] | None) -> ConfigFlowResult:
        assert self._info is not None
        errors: dict[str, str] = {}
        if user_input is not None:
            aes_key = _aes_key(user_input, errors)
            unlock_key = _unlock_key(user_input, errors)
            if aes_key is not None and not errors:
                version = self._heard_version(self._info.address, self._info)
                await self._check(self._info.address, aes_key, errors, version)
            if not errors:
                return self.async_create_entry(
                    title=self._title(),
                    data={CONF_ADDRESS: self._info.address, CONF_AES_KEY: aes_key, CONF_UNLOCK_KEY: unlock_key},
                )
        return self.async_show_form(
            step_id=step_id, data_schema=_KEYS_SCHEMA, errors=errors, description_placeholders={"name": self._title()}
        )

    async def async_step_reauth(self, entry_data: Mapping[str, Any]) -> ConfigFlowResult:
        if entry_data.get(CONF_SUSPECT) == CONF_UNLOCK_KEY:
            return await self.async_step_reauth_unlock_key()
        return await self.async_step_reauth_aes_key()

    async def async_step_reauth_aes_key(self, user_input: dict[str, Any] | None = None) -> ConfigFlowResult:
        entry = self._get_reauth_entry()
        errors: dict[str, str] = {}
        if user_input is not None and (aes_key := _aes_key(user_input, errors)) is not None:
            await self._check(entry.data[CONF_ADDRESS], aes_key, errors, self._entry_version(entry))
            if not errors:
                return self.async_update_reload_and_abort(entry, data_updates={CONF_AES_KEY: aes_key})
        return self.async_show_form(
            step_id="reauth_aes_key",
            data_schema=_AES_KEY_SCHEMA,
            errors=errors,
            description_placeholders={"name": entry.title},
        )

    async def async_step_reauth_unlock_key(self, user_input: dict[str, Any] | None = None) -> ConfigFlowResult:
        entry = self._get_reauth_entry()
        errors: dict[str, str] = {}
        if user_input is not None and (unlock_key := _unlock_key(user_input, errors)) is not None:
            return self.async_update_reload_and_abort(entry, data_updates={CONF_UNLOCK_KEY: unlock_key})
        return self.async_show_form(
            step_id="reauth_unlock_key",
            data_schema=_UNLOCK_KEY_SCHEMA,
            errors=errors,
            description_placeholders={"name": entry.title},
        )

    def _heard_version(
        self, address: str, fallback: BluetoothServiceInfoBleak | None = None
    ) -> quovel.LockVersion | None:
        """The header the lock's broadcast names: a lock refuses a status query framed with another."""
        heard = async_last_service_info(self.hass, address, connectable=False) or fallback
        return None if heard is None else quovel.select_advertisement(heard.manufacturer_data, address).lock_version

    def _entry_version(self, entry: QuovelConfigEntry) -> quovel.LockVersion | None:
        # A running entry's monitor keeps the version through broadcasts that lack one.
        if entry.state is ConfigEntryState.LOADED and (version := entry.runtime_data.monitor.lock_version) is not None:
            return version
        return self._heard_version(entry.data[CONF_ADDRESS])

    async def _check(
        self, address: str, aes_key: str, errors: dict[str, str], version: quovel.LockVersion | None
    ) -> None:
        """Asks the lock for its state with the AES key, within CHECK_DEADLINE seconds."""
        client = LockClient(
            address,
            aes_key,
            version=version,
            timing=Timing(hold_link=0),
            ble_device_callback=lambda: async_ble_device_from_address(self.hass, address, connectable=True),
            # The check waits for a slot like any command, and idle links give theirs up for it.
            slots=slot_pool(self.hass),
        )
        try:
            async with client:
                await client.status(deadline=CHECK_DEADLINE)
        except LockError as error:
            _LOGGER.debug("%s: checking the AES key failed: %s", address, error)
            if error.suspect == CONF_AES_KEY:
                errors[CONF_AES_KEY] = "handshake_refused"
            elif error.kind == "no_connection_slot":
                errors["base"] = "no_connection_slot"
            else:
                errors["base"] = "cannot_connect"
        except Exception:
            _LOGGER.exception("%s: unexpected error while checking the AES key", address)
            errors["base"] = "unknown"

    def _title(self) -> str:
        assert self._info is not None
        name = self._info.name
        return self._info.address if not name or name.replace("-", ":") == self._info.address else name


class QuovelOptionsFlow(OptionsFlowWithReload):
    async def async_step_init(self, user_input: dict[str, Any] | None = None) -> ConfigFlowResult:
        if user_input is not None:
            return self.async_create_entry(data=user_input)
        schema = probatio.Schema(
            {
                probatio.Required(CONF_HOLD_LINK, default=Timing().hold_link): NumberSelector(
                    NumberSelectorConfig(min=0, max=60, step=0.5, unit_of_measurement="s", mode=NumberSelectorMode.BOX)
                )
            }
        )
        return self.async_show_form(
            step_id="init", data_schema=self.add_suggested_values_to_schema(schema, self.config_entry.options)
        )
