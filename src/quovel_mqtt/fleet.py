"""Several bridges on one broker: which one serves each lock, and commands handed on.

Every bridge publishes, per lock it is configured for, a :class:`Report` of
what it hears (retained), and keeps everyone's reports and availability in a
:class:`Fleet`. :meth:`Fleet.server` is a pure function of those, so every
bridge that has heard the same messages names the same server: the bridges
online that hear the lock, then those with a free connection slot, then the
strongest signal, then the smallest id. A bridge that hears nothing of a lock
still reports it, so a lock nobody hears is kept (and shown offline) by one of
the bridges configured for it.

Reports move in steps (:class:`Hearing`): a signal that wavers by a few dB
would otherwise move a lock back and forth between two bridges.

A command reaches one bridge (a shared subscription). When it does not serve
the lock it hands the command on, with an id, to the server. A server says
it has taken a command before carrying it out, and answers it on the lock's
result topic with the same id. Every bridge keeps what was handed on and not
yet taken, and what was taken and not yet answered (:class:`Handoffs`), so
that each command gets exactly one result:

- a handoff not taken within a bound, or whose server goes away first, is
  answered as failed by the bridge that handed it on;
- a command taken by a server that goes away before answering is answered
  as failed by one bridge online that all agree on (:meth:`Fleet.keeper`).

Either failure says the outcome is unknown. A command is never sent to a
second server, which could carry it out twice.
"""

from __future__ import annotations

import json
import logging
import secrets
import time
from collections import OrderedDict
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from typing import Any, Protocol

from .topics import COMMANDS, OFFLINE, ONLINE, Topics, encode

_LOGGER = logging.getLogger("quovel_mqtt")

# Below this a reading is noise, not a lock heard.
_NO_SIGNAL = -1000
# Smoothing of successive readings: a new one counts this much.
_SMOOTHING = 0.3


@dataclass(frozen=True)
class Report:
    """What one bridge hears of one lock."""

    available: bool
    """Heard within the bridge's offline limit (or linked to it now)."""
    rssi: int | None
    free_slot: bool = True
    """False while calls on this bridge wait for a connection slot."""
    at: float = 0.0
    """Wall-clock seconds when published, for people reading it; nobody compares clocks."""

    def encode(self) -> str:
        return json.dumps(
            {"available": self.available, "rssi": self.rssi, "free_slot": self.free_slot, "at": round(self.at, 1)},
            separators=(",", ":"),
        )

    @classmethod
    def decode(cls, text: str) -> Report | None:
        """None for an empty payload (a report withdrawn) or one that is not a report."""
        try:
            data = json.loads(text)
            rssi = data.get("rssi")
            return cls(
                available=data["available"] is True,
                rssi=int(rssi) if isinstance(rssi, int | float) and not isinstance(rssi, bool) else None,
                free_slot=data.get("free_slot", True) is not False,
                at=float(data.get("at", 0.0)),
            )
        except (ValueError, TypeError, KeyError, AttributeError):
            return None


def _rank(bridge_id: str, report: Report) -> tuple[bool, bool, int, str]:
    rssi = _NO_SIGNAL if report.rssi is None else report.rssi
    return (not report.available, not report.free_slot, -rssi, bridge_id)


@dataclass
class Fleet:
    """Every bridge's availability and reports, as this bridge has heard them."""

    me: str
    online: set[str] = field(default_factory=set)
    reports: dict[str, dict[str, Report]] = field(default_factory=dict)

    def __post_init__(self) -> None:
        self.online.add(self.me)

    def on_availability(self, bridge_id: str, online: bool) -> None:
        if bridge_id == self.me:
            return  # a Last Will of an earlier connection of ours: we are here
        if online:
            self.online.add(bridge_id)
        else:
            self.online.discard(bridge_id)

    def on_report(self, object_id: str, bridge_id: str, report: Report | None) -> None:
        reports = self.reports.setdefault(object_id, {})
        if report is None:
            reports.pop(bridge_id, None)
        else:
            reports[bridge_id] = report

    def known(self, object_id: str) -> bool:
        """Whether any bridge, online or not, ever reported this lock."""
        return bool(self.reports.get(object_id))

    def server(self, object_id: str) -> str | None:
        """The bridge that serves the lock, or None when no bridge online is configured for it."""
        candidates = [(b, r) for b, r in self.reports.get(object_id, {}).items() if b in self.online]
        if not candidates:
            return None
        return min(candidates, key=lambda item: _rank(*item))[0]

    def alone(self, object_id: str) -> bool:
        """Whether only one bridge online is configured for the lock."""
        return sum(b in self.online for b in self.reports.get(object_id, {})) <= 1

    def keeper(self) -> str:
        """The bridge that speaks for those gone: the smallest id online."""
        return min(self.online)

    def servers(self) -> dict[str, str | None]:
        return {object_id: self.server(object_id) for object_id in self.reports}


@dataclass
class Hearing:
    """One lock as this bridge hears it, reported in steps of ``step`` dB."""

    step: int = 6
    rssi: float | None = None
    published: Report | None = None

    def heard(self, rssi: int | None) -> None:
        if rssi is None:
            return
        self.rssi = float(rssi) if self.rssi is None else self.rssi + _SMOOTHING * (rssi - self.rssi)

    def due(self, available: bool, free_slot: bool, at: float) -> Report | None:
        """The report to publish now, or None when the last one still holds."""
        rssi = None if self.rssi is None else round(self.rssi)
        last = self.published
        if (
            last is not None
            and (last.available, last.free_slot) == (available, free_slot)
            and (rssi is None or (last.rssi is not None and abs(rssi - last.rssi) < self.step))
        ):
            return None
        self.published = Report(available, rssi, free_slot, at)
        return self.published


def command_id() -> str:
    return secrets.token_hex(8)


@dataclass(frozen=True)
class Handoff:
    """A command this bridge received and handed on to the lock's server."""

    id: str
    object_id: str
    command: str
    server: str
    started: float


class Handoffs:
    """Commands handed on and not yet taken, or taken and not yet answered; each leaves once."""

    def __init__(self) -> None:
        self._pending: dict[str, Handoff] = {}

    def __len__(self) -> int:
        return len(self._pending)

    def add(self, handoff: Handoff) -> None:
        self._pending[handoff.id] = handoff

    def settled(self, id: str) -> Handoff | None:
        """The handoff taken or answered now; None if it is not pending (settled already, or given up)."""
        return self._pending.pop(id, None)

    def lost(self, server: str) -> list[Handoff]:
        """The handoffs to a server that went away."""
        gone = [h for h in self._pending.values() if h.server == server]
        for handoff in gone:
            del self._pending[handoff.id]
        return gone

    def expired(self, now: float, limit: float) -> list[Handoff]:
        gone = [h for h in self._pending.values() if now - h.started >= limit]
        for handoff in gone:
            del self._pending[handoff.id]
        return gone


class Recent:
    """Command ids handed to this bridge lately: one delivered twice is carried out once."""

    def __init__(self, size: int = 1024) -> None:
        self._ids: OrderedDict[str, None] = OrderedDict()
        self._size = size

    def first_time(self, id: str) -> bool:
        if id in self._ids:
            return False
        self._ids[id] = None
        if len(self._ids) > self._size:
            self._ids.popitem(last=False)
        return True


def lost_outcome(handoff: Handoff, *, seconds: float, gone: bool) -> dict[str, Any]:
    """The failed result of a command whose server went away (``gone``) or never took it."""
    why = "went offline before answering" if gone else "did not take it in time"
    return {
        "command": handoff.command,
        "result": "failed",
        "kind": "unreachable",
        "suspect": None,
        "message": f"bridge {handoff.server}, which serves this lock, {why}: the command may or may not have "
        "been carried out",
        "state": None,
        "seconds": round(seconds, 3),
        "bridge": handoff.server,
        "id": handoff.id,
    }


def unserved_outcome(command: str) -> dict[str, Any]:
    """The failed result of a command for a lock no bridge online is configured for."""
    return {
        "command": command,
        "result": "failed",
        "kind": "unreachable",
        "suspect": None,
        "message": "no bridge online serves this lock",
        "state": None,
        "seconds": 0.0,
    }


class Host(Protocol):
    """What the coordinator needs of its bridge."""

    def publish(self, topic: str, payload: str, *, retain: bool, expiry: int | None = None) -> None: ...

    def serve(self, object_id: str, command: str, command_id: str) -> None:
        """Carry out a command for a lock this bridge is configured for, and answer it with its id."""

    def lock_state(self, object_id: str) -> str | None: ...

    def serve_afresh(self, object_ids: set[str]) -> None:
        """This bridge serves these locks now, or alone now, or no longer alone: publish their
        discovery and state afresh."""


class Coordinator:
    """This bridge's part among the others: reports, the choice of servers, and commands handed on."""

    def __init__(
        self,
        topics: Topics,
        host: Host,
        configured: Iterable[str],
        *,
        clock: Callable[[], float] = time.monotonic,
        take_within: float = 15.0,
        forward_expiry: int = 10,
    ) -> None:
        self.topics = topics
        self.me = topics.bridge_id
        self.host = host
        self.fleet = Fleet(self.me)
        self.hearing = {object_id: Hearing() for object_id in configured}
        for object_id in self.hearing:
            self.fleet.on_report(object_id, self.me, Report(False, None))
        self.handoffs = Handoffs()
        """Commands this bridge handed on that their server has not taken yet."""
        self.taken = Handoffs()
        """Commands other bridges took and have not answered yet."""
        self._recent = Recent()
        self._clock = clock
        # A forward must outlive its expiry on the broker: a server never takes one after it was given up.
        self._take_within = max(take_within, forward_expiry + 5.0)
        self._forward_expiry = forward_expiry
        self._servers = self.fleet.servers()
        self._alone = {object_id: True for object_id in self.hearing}
        self._connection = 0
        # Connections after which the keeper answers what this bridge had taken: their results go unsaid.
        self._answered_for_us: set[int] = set()
        self._taken_on: dict[str, int] = {}

    # --- this bridge's own view ---------------------------------------------------

    def serves(self, object_id: str) -> bool:
        return self._servers.get(object_id) == self.me

    def alone(self, object_id: str) -> bool:
        """Whether no other bridge online could serve the lock: its availability then hangs on ours."""
        return self.fleet.alone(object_id)

    def heard(self, object_id: str, rssi: int | None) -> None:
        if (hearing := self.hearing.get(object_id)) is not None:
            hearing.heard(rssi)

    def report(self, object_id: str, available: bool, free_slot: bool) -> None:
        """Publishes this bridge's report of a lock if it changed enough, and moves servers by it at once."""
        report = self.hearing[object_id].due(available, free_slot, time.time())
        if report is not None:
            self.fleet.on_report(object_id, self.me, report)
            self.host.publish(self.topics.lock_of(object_id).report, report.encode(), retain=True)
            self._recompute()

    # --- the connection -----------------------------------------------------------

    def subscriptions(self) -> tuple[str, ...]:
        """Before the shared commands: the others' availability and reports come first."""
        return self.topics.fleet

    def connected(self) -> None:
        """A new connection: every report goes out again (the retained ones may be gone with the broker)."""
        self._connection += 1
        for hearing in self.hearing.values():
            hearing.published = None

    def disconnected(self) -> None:
        # Our Last Will tells the others: the keeper answers what we had taken, and our forwards
        # may be answered while we cannot hear it. Saying anything of them later could say it twice.
        if self.fleet.online - {self.me}:
            self._answered_for_us.add(self._connection)
        for handoff in self.handoffs.expired(float("inf"), 0.0):
            _LOGGER.warning(
                "%s for %s: no result, the broker went away after it was handed on", handoff.command, handoff.object_id
            )

    def may_answer(self, command_id: str | None) -> bool:
        """Whether this bridge's result of a command it took may still be published."""
        if command_id is None:
            return True
        return self._taken_on.get(command_id, self._connection) not in self._answered_for_us

    def answered(self, command_id: str | None) -> None:
        if command_id is not None:
            self._taken_on.pop(command_id, None)

    # --- messages -------------------------------------------------------------------

    def on_message(self, topic: str, text: str) -> bool:
        """Handles a fleet message; False for a topic that is not one (a command is the bridge's)."""
        parsed = self.topics.parse(topic)
        if parsed is None or parsed[0] == "command":
            return False
        kind, object_id = parsed[0], parsed[1]
        if kind == "availability":
            self._on_availability(object_id, text == ONLINE)
        elif kind == "report" and parsed[2] != self.me:
            # Our own retained report of an earlier run is about to be replaced.
            self.fleet.on_report(object_id, parsed[2], Report.decode(text))
            self._recompute()
        elif kind == "forward":
            self._on_forward(object_id, text)
        elif kind == "accepted" and parsed[2] != self.me:
            data = _object(text)
            if isinstance(command_id := data.get("id"), str):
                self.handoffs.settled(command_id)
                command = str(data.get("command", ""))
                self.taken.add(Handoff(command_id, object_id, command, parsed[2], self._clock()))
        elif kind == "result" and isinstance(command_id := _object(text).get("id"), str):
            self.taken.settled(command_id)
            self.handoffs.settled(command_id)
        return True

    def on_command(self, object_id: str, command: str) -> bool:
        """A command from the shared subscription; False for a lock no bridge has ever reported."""
        server = self.fleet.server(object_id)
        if server == self.me:
            self._take(object_id, command, command_id())
        elif server is None:
            if not self.fleet.known(object_id):
                return False
            _LOGGER.warning("%s for %s: no bridge online serves this lock", command, object_id)
            self.host.publish(self.topics.lock_of(object_id).result, encode(unserved_outcome(command)), retain=False)
        else:
            handoff = Handoff(command_id(), object_id, command, server, self._clock())
            self.handoffs.add(handoff)
            payload = encode({"id": handoff.id, "command": command, "from": self.me})
            _LOGGER.info("%s for %s: handed on to bridge %s", command, object_id, server)
            self.host.publish(
                self.topics.forward(server, object_id), payload, retain=False, expiry=self._forward_expiry
            )
        return True

    def tick(self) -> None:
        """Gives up handoffs not taken in time (call now and then)."""
        now = self._clock()
        for handoff in self.handoffs.expired(now, self._take_within):
            self._lost(handoff, now, gone=False)
        # A taken command is answered by its server, or by the keeper when that goes away;
        # this only forgets what a missed message left behind.
        self.taken.expired(now, 3600.0)

    # --- inside ---------------------------------------------------------------------

    def _take(self, object_id: str, command: str, command_id: str) -> None:
        self._taken_on[command_id] = self._connection
        payload = encode({"id": command_id, "command": command})
        self.host.publish(self.topics.accepted(object_id), payload, retain=False)
        self.host.serve(object_id, command, command_id)

    def _on_forward(self, object_id: str, text: str) -> None:
        data = _object(text)
        command_id, command = data.get("id"), data.get("command")
        if not isinstance(command_id, str) or command not in COMMANDS:
            _LOGGER.warning("ignored a command handed on for %s that is not one", object_id)
            return
        if not self._recent.first_time(command_id):
            return  # delivered again: carried out once
        if object_id not in self.hearing:
            outcome = {**unserved_outcome(command), "id": command_id}
            self.host.publish(self.topics.lock_of(object_id).result, encode(outcome), retain=False)
            return
        self._take(object_id, command, command_id)

    def _on_availability(self, bridge_id: str, online: bool) -> None:
        self.fleet.on_availability(bridge_id, online)
        if not online and bridge_id != self.me:
            now = self._clock()
            for handoff in self.handoffs.lost(bridge_id):
                self._lost(handoff, now, gone=True)
            taken = self.taken.lost(bridge_id)
            if self.fleet.keeper() == self.me:
                for handoff in taken:
                    self._lost(handoff, now, gone=True)
        self._recompute()

    def _lost(self, handoff: Handoff, now: float, *, gone: bool) -> None:
        outcome = lost_outcome(handoff, seconds=now - handoff.started, gone=gone)
        outcome["state"] = self.host.lock_state(handoff.object_id)
        _LOGGER.warning("%s for %s: %s", handoff.command, handoff.object_id, outcome["message"])
        self.host.publish(self.topics.lock_of(handoff.object_id).result, encode(outcome), retain=False)

    def _recompute(self) -> None:
        servers = self.fleet.servers()
        before, self._servers = self._servers, servers
        alone = {object_id: self.fleet.alone(object_id) for object_id in self.hearing}
        was_alone, self._alone = self._alone, alone
        for object_id, server in servers.items():
            if server != before.get(object_id):
                _LOGGER.info("%s: %s serves it now", object_id, server or "no bridge online")
            if server is None and before.get(object_id) is not None and self.fleet.keeper() == self.me:
                # Nobody online is configured for it now: say so rather than leave it "online".
                self.host.publish(self.topics.lock_of(object_id).availability, OFFLINE, retain=True)
        afresh = {
            object_id
            for object_id, server in servers.items()
            if server == self.me and (before.get(object_id) != self.me or alone[object_id] != was_alone[object_id])
        }
        if afresh:
            self.host.serve_afresh(afresh)


def _object(text: str) -> dict[str, Any]:
    try:
        data = json.loads(text)
    except ValueError:
        return {}
    return data if isinstance(data, dict) else {}
