"""The lock entity: the state the driver reports, commands through it."""

from __future__ import annotations

from typing import Any, override

from homeassistant.components.lock import LockEntity
from homeassistant.core import HomeAssistant
from homeassistant.exceptions import HomeAssistantError
from homeassistant.helpers.entity_platform import AddConfigEntryEntitiesCallback

from quovel_bleak import LockError, LockState

from .const import CONF_SUSPECT, DOMAIN
from .device import LockDevice, QuovelConfigEntry
from .entity import QuovelEntity

# The driver runs one operation per lock at a time; locks do not wait for each other.
PARALLEL_UPDATES = 0

# Kinds of driver failure with a message of their own; any other kind gets the general one.
ERROR_KINDS = frozenset(
    {
        "handshake_refused",
        "actuation_refused",
        "unreachable",
        "no_connection_slot",
        "no_reply",
        "link_lost",
        "bad_reply",
        "superseded",
    }
)

# Locking and unlocking are neither: Home Assistant shows them from is_locking and is_unlocking.
_IS_LOCKED: dict[LockState | None, bool] = {LockState.LOCKED: True, LockState.UNLOCKED: False}


async def async_setup_entry(
    hass: HomeAssistant, entry: QuovelConfigEntry, async_add_entities: AddConfigEntryEntitiesCallback
) -> None:
    async_add_entities([QuovelLock(entry.runtime_data, entry)])


class QuovelLock(QuovelEntity, LockEntity):
    _attr_name = None

    def __init__(self, device: LockDevice, entry: QuovelConfigEntry) -> None:
        super().__init__(device, None)
        self._entry = entry

    @override
    @property
    def is_locked(self) -> bool | None:
        return _IS_LOCKED.get(self.device.monitor.state)

    @override
    @property
    def is_locking(self) -> bool:
        return self.device.monitor.state is LockState.LOCKING

    @override
    @property
    def is_unlocking(self) -> bool:
        return self.device.monitor.state is LockState.UNLOCKING

    @override
    async def async_lock(self, **kwargs: Any) -> None:
        try:
            await self.device.monitor.lock()
        except LockError as error:
            raise self._failure("lock", error) from error

    @override
    async def async_unlock(self, **kwargs: Any) -> None:
        try:
            await self.device.monitor.unlock()
        except LockError as error:
            raise self._failure("unlock", error) from error

    def _failure(self, action: str, error: LockError) -> HomeAssistantError:
        """The error to show, after asking for the key the lock refused."""
        if error.suspect is not None:
            self._entry.async_start_reauth(self.hass, data={CONF_SUSPECT: error.suspect})
        return HomeAssistantError(
            translation_domain=DOMAIN,
            translation_key=error.kind if error.kind in ERROR_KINDS else "command_failed",
            translation_placeholders={"action": action, "name": self.device.name, "error": str(error)},
        )
