"""``LockMonitor``: one lock's life, the same for every caller.

A caller (Home Assistant, the MQTT bridge, a script) feeds it what its radio
hears and asks it to lock, unlock or refresh; the monitor owns the tracker,
the client, availability and the listeners, and the caller only wires them
to its host.
"""

from __future__ import annotations

import asyncio
import enum
import logging
import time
from collections.abc import Callable, Mapping
from typing import Any, TypeAlias

from bleak.backends.device import BLEDevice

import quovel

from .client import Action, LockClient
from .helpers import OFFLINE_AFTER, normalize_address, poll_availability, to_ms
from .keyfiles import Secret

_LOGGER = logging.getLogger(__name__)

Listener: TypeAlias = Callable[[frozenset[str]], None]
"""Told the names that changed: a subset of ``{"state", "battery", "available"}``."""


class LockState(enum.StrEnum):
    """What the tracker reports; unknown is ``None``."""

    LOCKED = "LOCKED"
    UNLOCKED = "UNLOCKED"
    LOCKING = "LOCKING"
    UNLOCKING = "UNLOCKING"


class LockMonitor:
    """One lock: its tracker fed from advertisements, availability, listeners,
    and commands through its :class:`LockClient`.

    ``address`` may be written with colons, dashes or no separators, in any
    case. The keys are validated by the client (``quovel.QuovelError``) and
    kept there only; a :class:`~quovel_bleak.keyfiles.Secret` is accepted.
    ``clock`` gives monotonic seconds on the clock of the advertisement
    times fed (default: the event loop's). ``client_options`` go to the
    client (``timing``, ``ble_device_callback``, ``backend``, ...); without a
    ``ble_device_callback`` the client connects to the device last fed with
    an advertisement.

    Commands run one at a time per lock, in the order they were asked for,
    and the last intent wins: a ``lock()`` or ``unlock()`` that has not yet
    written its request when a newer opposite command arrives raises
    :class:`~quovel_bleak.Superseded` and sends nothing.
    """

    def __init__(
        self,
        address: str,
        aes_key: str | bytes | Secret,
        unlock_key: int | str | Secret | None = None,
        *,
        name: str | None = None,
        offline_after: float = OFFLINE_AFTER,
        clock: Callable[[], float] | None = None,
        **client_options: Any,
    ) -> None:
        self.address = normalize_address(address)
        self.name = name or self.address
        self.tracker = quovel.LockTracker()
        self.last_advertisement: quovel.Advertisement | None = None
        self.last_heard: float | None = None
        self._offline_after = offline_after
        self._clock = clock
        self._device: BLEDevice | None = None
        self._listeners: list[Listener] = []
        self._logged_unavailable = False
        # The serial number of the latest command of each kind.
        self._serial = 0
        self._latest: dict[Action, int] = {"lock": 0, "unlock": 0}
        client_options.setdefault("ble_device_callback", self._last_device)
        self.client = LockClient(
            self.address,
            aes_key,
            unlock_key,
            tracker=self.tracker,
            on_change=self._on_change,
            clock=clock,
            **client_options,
        )

    def __repr__(self) -> str:
        return f"LockMonitor({self.address!r})"

    # --- what the tracker knows ---------------------------------------------

    @property
    def state(self) -> LockState | None:
        reported = self.tracker.reported_state
        return None if reported is None else LockState(reported)

    @property
    def available(self) -> bool:
        return self.tracker.available

    @property
    def battery(self) -> int | None:
        return self.tracker.battery

    @property
    def lock_version(self) -> quovel.LockVersion | None:
        return self.tracker.lock_version

    def add_listener(self, listener: Listener) -> Callable[[], None]:
        """Call ``listener`` with each non-empty change; returns what removes it."""
        self._listeners.append(listener)

        def remove() -> None:
            if listener in self._listeners:
                self._listeners.remove(listener)

        return remove

    # --- feeding --------------------------------------------------------------

    def on_advertisement(
        self, manufacturer_data: Mapping[int, bytes], now: float, device: BLEDevice | None = None
    ) -> frozenset[str]:
        """One advertisement of this lock heard at ``now`` (seconds on the
        monitor's clock); also unchanged ones: that the lock keeps advertising
        is what keeps it available."""
        if device is not None:
            self._device = device
        data = manufacturer_data if isinstance(manufacturer_data, dict) else dict(manufacturer_data)
        advertisement = quovel.select_advertisement(data, self.address)
        self.last_advertisement = advertisement
        self.last_heard = now
        return self._publish(self.tracker.on_advertisement(to_ms(now), advertisement))

    def on_unavailable(self) -> frozenset[str]:
        """The host says the lock can no longer be heard."""
        return self._publish(self.tracker.on_unavailable())

    def poll_availability(self, now: float | None = None) -> frozenset[str]:
        """Unavailable after ``offline_after`` seconds without an advertisement."""
        return self._publish(poll_availability(self.tracker, self._now() if now is None else now, self._offline_after))

    # --- commands ---------------------------------------------------------------

    async def lock(self, *, deadline: float | None = None) -> None:
        await self._command("lock", deadline)

    async def unlock(self, *, deadline: float | None = None) -> None:
        await self._command("unlock", deadline)

    async def refresh(self, *, deadline: float | None = None) -> str:
        """A status query: ``"LOCKED"``, ``"UNLOCKED"`` or ``"UNKNOWN:<n>"``."""
        return await self.client.status(deadline=deadline)

    async def close(self) -> None:
        """Let a held link go."""
        await self.client.close()

    async def _command(self, action: Action, deadline: float | None) -> None:
        self._serial += 1
        serial = self._serial
        self._latest[action] = serial
        opposite: Action = "unlock" if action == "lock" else "lock"

        def proceed() -> bool:
            return self._latest[opposite] < serial

        if action == "lock":
            await self.client.lock(deadline=deadline, proceed=proceed)
        else:
            await self.client.unlock(deadline=deadline, proceed=proceed)

    # --- diagnostics ----------------------------------------------------------

    def diagnostics(self) -> dict[str, object]:
        """What the monitor knows, for a bug report; no key."""
        timing = self.client.timing
        return {
            "address": self.address,
            "name": self.name,
            "state": self.tracker.reported_state,
            "pending": self.tracker.pending,
            "available": self.available,
            "battery": self.battery,
            "version": _version(self.lock_version),
            "last_heard": self.last_heard,
            "last_advertisement": _advertisement(self.last_advertisement),
            "offline_after": self._offline_after,
            "timing": {
                "reply_timeout": timing.reply_timeout,
                "hold_link": timing.hold_link,
                "call_deadline": timing.call_deadline,
                "link_attempts": timing.link_attempts,
                "disconnect_timeout": timing.disconnect_timeout,
            },
        }

    # --- inside ---------------------------------------------------------------

    def _last_device(self) -> BLEDevice | None:
        return self._device

    def _now(self) -> float:
        if self._clock is not None:
            return self._clock()
        try:
            return asyncio.get_running_loop().time()
        except RuntimeError:
            return time.monotonic()

    def _on_change(self, changes: set[str]) -> None:
        self._publish(changes)

    def _publish(self, changes: set[str]) -> frozenset[str]:
        changed = frozenset(changes)
        if not changed:
            return changed
        # Once when the lock goes, once when it is back.
        if "available" in changed and self.tracker.available == self._logged_unavailable:
            self._logged_unavailable = not self.tracker.available
            if self._logged_unavailable:
                _LOGGER.info("%s (%s) is unavailable", self.name, self.address)
            else:
                _LOGGER.info("%s (%s) is available again", self.name, self.address)
        for listener in list(self._listeners):
            try:
                listener(changed)
            except Exception:
                _LOGGER.exception("%s: a listener raised on %s", self.name, sorted(changed))
        return changed


def _version(version: quovel.LockVersion | None) -> dict[str, int] | None:
    if version is None:
        return None
    return {
        "protocol_type": version.protocol_type,
        "protocol_version": version.protocol_version,
        "scene": version.scene,
        "group_id": version.group_id,
        "org_id": version.org_id,
    }


def _advertisement(advertisement: quovel.Advertisement | None) -> dict[str, object] | None:
    if advertisement is None:
        return None
    return {
        "kind": advertisement.kind,
        "address": advertisement.address,
        "battery": advertisement.battery,
        "is_unlocked": advertisement.is_unlocked,
        "has_events": advertisement.has_events,
        "is_setting_mode": advertisement.is_setting_mode,
        "version": _version(advertisement.lock_version),
    }
