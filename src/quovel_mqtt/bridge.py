"""The bridge: advertisements and commands in, Home Assistant's MQTT topics out.

Three loops run side by side, each surviving what it meets:

- the broker connection: connects (with a Last Will), subscribes, publishes
  the bridge's availability, discovery and every lock's state, then drains
  the outbox; on any loss it reconnects with back-off and starts over, so a
  restarted broker gets everything again;
- the scan: one ``BleakScanner`` feeding every lock's ``LockMonitor``; a scan
  that cannot start (no adapter) is retried with back-off, and one that
  hears nothing at all for a while is restarted (an adapter unplugged while
  scanning goes silent rather than failing);
- the availability poll, expiring locks by the driver's offline limit.

A lock's life (its tracker, client, settling and the order of its commands)
is the driver's ``LockMonitor``; the bridge hands it each command as it
arrives and publishes each one's result, and what a monitor says changed.
What cannot be published yet waits in the outbox for the broker.

Several bridges may share a broker (:mod:`quovel_mqtt.fleet`): commands come
through a shared subscription, each lock is served by the one bridge that
hears it best, and only that one publishes the lock's state and discovery.
"""

from __future__ import annotations

import asyncio
import contextlib
import importlib
import logging
import ssl
import time
from collections import deque
from collections.abc import Callable, Collection, Coroutine
from dataclasses import dataclass
from typing import Any

import aiomqtt
from bleak import BleakScanner
from bleak.backends.client import BaseBleakClient
from bleak.backends.device import BLEDevice
from bleak.backends.scanner import AdvertisementData, BaseBleakScanner
from paho.mqtt.packettypes import PacketTypes
from paho.mqtt.properties import Properties

from quovel_bleak import OFFLINE_AFTER, LockError, LockMonitor, SlotPool, Timing

from .config import Config, LockConfig
from .fleet import Coordinator
from .topics import (
    COMMANDS,
    NONE,
    OFFLINE,
    ONLINE,
    LockTopics,
    Topics,
    bridge_discovery_payload,
    discovery_payload,
    encode,
)

_LOGGER = logging.getLogger("quovel_mqtt")
# Command outcomes kept while the broker is away; state needs no keeping, it is sent afresh.
_OUTBOX_LIMIT = 1000
# Commands handed to one lock and not yet answered; more are answered "busy" at once.
# Waiting locks and unlocks are superseded by the next opposite one, so only a flood reaches this.
_WAITING_LIMIT = 32


@dataclass
class Bluetooth:
    """The bleak backends to use; None is bleak's own for this platform."""

    scanner_backend: type[BaseBleakScanner] | None = None
    client_backend: type[BaseBleakClient] | None = None
    background: Callable[[], Coroutine[Any, Any, None]] | None = None
    """Run beside the bridge while it runs (a simulation's broadcasts)."""


def load_bluetooth(entry: str | None) -> Bluetooth:
    """The backends named by ``[simulation] backend`` ("module:callable"), else the real ones."""
    if entry is None:
        return Bluetooth()
    module_name, _, attribute = entry.partition(":")
    factory = getattr(importlib.import_module(module_name), attribute)
    bluetooth = factory()
    if not isinstance(bluetooth, Bluetooth):
        raise TypeError(f"{entry} returned {type(bluetooth).__name__}, not quovel_mqtt.Bluetooth")
    return bluetooth


@dataclass(frozen=True)
class Message:
    topic: str
    payload: str
    retain: bool
    expiry: int | None = None
    """Seconds the broker keeps it for a subscriber not yet reached."""
    command_id: str | None = None
    """The command a result answers."""


def backoff(attempt: int, cap: float = 30.0) -> float:
    """Seconds before reconnecting or rescanning after the n-th failure in a row."""
    return float(min(cap, 2 ** max(0, attempt - 1)))


class _Lock:
    def __init__(self, config: LockConfig, topics: LockTopics, monitor: LockMonitor) -> None:
        self.config = config
        self.topics = topics
        self.monitor = monitor
        self.waiting = 0
        """Commands handed to the monitor and not yet answered."""


class Bridge:
    """One bridge process: ``await bridge.run(stop)`` until ``stop`` is set."""

    def __init__(
        self,
        config: Config,
        bluetooth: Bluetooth | None = None,
        *,
        clock: Callable[[], float] = time.monotonic,
        poll_interval: float | None = None,
        deaf_after: float = 120.0,
        settle: float = 1.0,
    ) -> None:
        self.config = config
        self.topics = Topics.of(config)
        self._bluetooth = bluetooth or Bluetooth()
        self._clock = clock
        self._offline_after = config.offline_after if config.offline_after is not None else OFFLINE_AFTER
        self._poll_interval = poll_interval if poll_interval is not None else min(10.0, self._offline_after / 4)
        self._deaf_after = deaf_after
        self._settle = settle
        self._settled = False
        """Whether this connection has heard the others long enough to publish the locks it serves."""
        # One pool for every lock: the adapter's slots are shared by all of them.
        self.slots = None if config.connection_slots is None else SlotPool(limit=config.connection_slots)
        self.locks = [self._lock(lock) for lock in config.locks]
        self._by_address = {lock.monitor.address: lock for lock in self.locks}
        self._by_object_id = {lock.config.object_id: lock for lock in self.locks}
        self._commands: set[asyncio.Task[dict[str, Any]]] = set()
        self._outbox: deque[Message] = deque()
        self._wake = asyncio.Event()
        self._client: aiomqtt.Client | None = None
        self._last_heard_any = 0.0
        self.connected = asyncio.Event()
        """Set while the broker connection is up (for tests and diagnostics)."""
        self.coordinator = Coordinator(self.topics, self, self._by_object_id, clock=clock)
        self._sync_topic = f"{self.topics.prefix}/bridge/{self.topics.bridge_id}/sync"
        self._synced = asyncio.Event()

    def _lock(self, config: LockConfig) -> _Lock:
        # By address: each command connects to the device last heard.
        monitor = LockMonitor(
            config.address,
            config.aes_key,
            config.unlock_key,
            name=config.name,
            offline_after=self._offline_after,
            clock=self._clock,
            timing=Timing() if self.config.hold_link is None else Timing(hold_link=self.config.hold_link),
            backend=self._bluetooth.client_backend,
            slots=self.slots,
        )
        lock = _Lock(config, self.topics.lock(config), monitor)
        monitor.add_listener(lambda changes: self._publish_changes(lock, changes))
        return lock

    # --- publishing ------------------------------------------------------------

    def publish(
        self, topic: str, payload: str, *, retain: bool, expiry: int | None = None, command_id: str | None = None
    ) -> None:
        if (retain or expiry is not None) and self._client is None:
            return  # connecting publishes every retained topic afresh; a handoff would be stale
        if len(self._outbox) >= _OUTBOX_LIMIT:
            dropped = self._outbox.popleft()
            _LOGGER.warning("the broker is away too long: dropped a message for %s", dropped.topic)
        self._outbox.append(Message(topic, payload, retain, expiry, command_id))
        self._wake.set()

    # --- the coordinator's host ------------------------------------------------

    def serve(self, object_id: str, command: str, command_id: str) -> None:
        self.submit(self._by_object_id[object_id], command, command_id)

    def lock_state(self, object_id: str) -> str | None:
        lock = self._by_object_id.get(object_id)
        return None if lock is None else _state(lock)

    def serve_afresh(self, object_ids: set[str]) -> None:
        if not self._settled:
            return  # all is published once settled
        for object_id in sorted(object_ids):
            lock = self._by_object_id[object_id]
            if self.config.discovery:
                self._publish_lock_discovery(lock)
            self._publish_changes(lock, {"state", "battery", "available"}, log=False)

    def _report(self, lock: _Lock) -> None:
        # A bridge whose calls wait for a slot is a worse server than one with a slot free.
        free_slot = self.slots is None or self.slots.waiting == 0
        self.coordinator.report(lock.config.object_id, lock.monitor.available, free_slot)

    def _publish_changes(self, lock: _Lock, changes: Collection[str], *, log: bool = True) -> None:
        monitor = lock.monitor
        if "available" in changes:
            # First: a bridge that stops hearing its lock hands it over rather than show it offline.
            self._report(lock)
        if not (self._settled and self.coordinator.serves(lock.config.object_id)):
            return  # its server publishes it
        if "state" in changes:
            state = NONE if monitor.state is None else monitor.state.value
            if log:
                _LOGGER.info("%s: %s", lock.config.name, state)
            self.publish(lock.topics.state, state, retain=True)
        if "battery" in changes:
            self.publish(lock.topics.battery, NONE if monitor.battery is None else str(monitor.battery), retain=True)
        if "available" in changes:
            self.publish(lock.topics.availability, ONLINE if monitor.available else OFFLINE, retain=True)

    def _publish_reports(self) -> None:
        self.coordinator.connected()
        for lock in self.locks:
            self._report(lock)

    def _publish_all(self) -> None:
        if self.config.discovery:
            self._publish_discovery()
        for lock in self.locks:
            self._publish_changes(lock, {"state", "battery", "available"}, log=False)

    def _publish_discovery(self) -> None:
        self.publish(self.topics.bridge_discovery, encode(bridge_discovery_payload(self.topics)), retain=True)
        for lock in self.locks:
            if self.coordinator.serves(lock.config.object_id):
                self._publish_lock_discovery(lock)

    def _publish_lock_discovery(self, lock: _Lock) -> None:
        alone = self.coordinator.alone(lock.config.object_id)
        payload = discovery_payload(self.topics, lock.config, alone=alone)
        self.publish(lock.topics.discovery, encode(payload), retain=True)

    # --- the broker ------------------------------------------------------------

    def _mqtt_client(self) -> aiomqtt.Client:
        broker = self.config.broker
        tls_context = None
        if broker.tls is not None:
            tls_context = ssl.create_default_context(cafile=broker.tls.ca_file)
            if broker.tls.cert_file is not None:
                tls_context.load_cert_chain(broker.tls.cert_file, broker.tls.key_file)
            if broker.tls.insecure:
                tls_context.check_hostname = False
        return aiomqtt.Client(
            broker.host,
            broker.port,
            username=broker.username,
            password=None if broker.password is None else broker.password.reveal(),
            identifier=broker.client_id,
            keepalive=broker.keepalive,
            will=aiomqtt.Will(self.topics.bridge_availability, OFFLINE, qos=1, retain=True),
            # Shared subscriptions, and message expiry for commands handed on.
            protocol=aiomqtt.ProtocolVersion.V5,
            tls_context=tls_context,
            timeout=10,
        )

    async def _broker_loop(self) -> None:
        failures = 0
        broker = self.config.broker
        while True:
            wait = 0.0
            try:
                async with self._mqtt_client() as client:
                    subscriptions = [*self.coordinator.subscriptions(), self.config.status_topic, self._sync_topic]
                    await client.subscribe([(topic, 1) for topic in subscriptions])
                    _LOGGER.info("connected to the broker at %s:%d", broker.host, broker.port)
                    failures = 0
                    self._client = client
                    self.connected.set()
                    # What was retained and not yet sent is superseded by what follows, and a result
                    # another bridge gave when our Will came would be a second one.
                    self._outbox = deque(
                        m for m in self._outbox if not m.retain and self.coordinator.may_answer(m.command_id)
                    )
                    async with asyncio.TaskGroup() as group:
                        group.create_task(self._receive(client))
                        await self._sync(client)
                        self.publish(self.topics.bridge_availability, ONLINE, retain=True)
                        self._publish_reports()
                        group.create_task(self._drain(client))
                        # Bridges that connect together hear each other's reports before any claims a lock.
                        await asyncio.sleep(self._settle)
                        self._settled = True
                        self._publish_all()
                        # Only now: a command is sent where the others' reports say.
                        await client.subscribe(self.topics.shared_commands, qos=1)
            except* (aiomqtt.MqttError, OSError, ssl.SSLError) as group:
                failures += 1
                wait = backoff(failures)
                _LOGGER.warning(
                    "broker %s:%d: %s; reconnecting in %g s", broker.host, broker.port, group.exceptions[0], wait
                )
            finally:
                self._settled = False
                if self._client is not None:
                    self.coordinator.disconnected()
                self._client = None
                self.connected.clear()
            await asyncio.sleep(wait)

    async def _sync(self, client: aiomqtt.Client) -> None:
        """Waits until the others' retained availability and reports are in: the broker hands
        them over before our own message published after subscribing comes back."""
        self._synced.clear()
        await client.publish(self._sync_topic, "", qos=1)
        try:
            async with asyncio.timeout(10):
                await self._synced.wait()
        except TimeoutError:
            _LOGGER.warning("the broker did not echo in time: serving locks from what was heard so far")

    async def _drain(self, client: aiomqtt.Client) -> None:
        while True:
            while self._outbox:
                message = self._outbox[0]
                properties = None
                if message.expiry is not None:
                    properties = Properties(PacketTypes.PUBLISH)  # type: ignore[no-untyped-call]
                    properties.MessageExpiryInterval = message.expiry
                await client.publish(
                    message.topic, message.payload, qos=1, retain=message.retain, properties=properties
                )
                # Only once the broker has it: a message lost with the link is sent again.
                if self._outbox and self._outbox[0] is message:
                    self._outbox.popleft()
            self._wake.clear()
            await self._wake.wait()

    async def _receive(self, client: aiomqtt.Client) -> None:
        async for message in client.messages:
            try:
                self._on_message(message)
            except Exception:
                _LOGGER.exception("could not handle a message on %s", message.topic.value)

    def _on_message(self, message: aiomqtt.Message) -> None:
        topic = message.topic.value
        payload = message.payload
        text = payload.decode("utf-8", "replace").strip() if isinstance(payload, bytes | bytearray) else str(payload)
        if topic == self._sync_topic:
            self._synced.set()
            return
        if topic == self.config.status_topic:
            if text == "online" and self.config.discovery:
                _LOGGER.info("Home Assistant is online: publishing discovery again")
                self._publish_discovery()
                for each in self.locks:
                    self._publish_changes(each, {"state", "battery", "available"}, log=False)
            return
        if self.coordinator.on_message(topic, text):
            return
        object_id = topic.split("/")[-2]
        lock = self._by_object_id.get(object_id)
        name = topic if lock is None else lock.config.name
        if message.retain:
            # A command left on the broker is stale: acting on it now would surprise.
            _LOGGER.warning("%s: ignored a retained command on %s", name, topic)
            return
        command = text.upper()
        if command not in COMMANDS:
            _LOGGER.warning("%s: ignored an unknown command %r (expected %s)", name, text[:40], ", ".join(COMMANDS))
            return
        if not self.coordinator.on_command(object_id, command):
            _LOGGER.warning("ignored a command on %s: no lock with this id", topic)

    # --- the radio -------------------------------------------------------------

    def _on_advertisement(self, device: BLEDevice, advertisement: AdvertisementData) -> None:
        # Called from the Bluetooth stack's dispatch: a fault here must not stop the scan.
        try:
            self._hear(device, advertisement)
        except Exception:
            _LOGGER.exception("could not handle an advertisement of %s", device.address)

    def _hear(self, device: BLEDevice, advertisement: AdvertisementData) -> None:
        now = self._clock()
        self._last_heard_any = now
        lock = self._by_address.get(device.address.upper())
        if lock is not None:
            self.coordinator.heard(lock.config.object_id, advertisement.rssi)
            lock.monitor.on_advertisement(advertisement.manufacturer_data, now, device)

    async def _scan_loop(self) -> None:
        failures = 0
        options: dict[str, Any] = {}
        if self._bluetooth.scanner_backend is not None:
            options["backend"] = self._bluetooth.scanner_backend
        if self.config.adapter is not None:
            options["bluez"] = {"adapter": self.config.adapter}
        where = self.config.adapter or "the default adapter"
        while True:
            scanner = BleakScanner(self._on_advertisement, **options)
            try:
                await scanner.start()
            except Exception as error:
                failures += 1
                wait = backoff(failures)
                _LOGGER.warning("scanning on %s failed to start: %s; retrying in %g s", where, _describe(error), wait)
                await asyncio.sleep(wait)
                continue
            failures = 0
            _LOGGER.info("scanning on %s for %d locks", where, len(self.locks))
            self._last_heard_any = self._clock()
            try:
                while (silent := self._clock() - self._last_heard_any) < self._deaf_after:
                    await asyncio.sleep(min(self._deaf_after - silent, 10.0))
                _LOGGER.warning("nothing heard on %s for %g s: restarting the scan", where, self._deaf_after)
            finally:
                with contextlib.suppress(Exception):
                    await scanner.stop()

    async def _poll_loop(self) -> None:
        while True:
            now = self._clock()
            for lock in self.locks:
                lock.monitor.poll_availability(now)
                self._report(lock)  # a signal that moved, or slots that filled or freed
            self.coordinator.tick()
            await asyncio.sleep(self._poll_interval)

    # --- commands --------------------------------------------------------------

    def submit(self, lock: _Lock, command: str, command_id: str | None = None) -> asyncio.Task[dict[str, Any]] | None:
        """Hands a command to its lock at once, so the monitor sees commands in the order they came
        (a newer opposite command supersedes one still waiting); each gets one result."""
        if lock.waiting >= _WAITING_LIMIT:
            self._publish_result(
                lock,
                {
                    "command": command,
                    "result": "failed",
                    "kind": "busy",
                    "suspect": None,
                    "message": f"{lock.waiting} commands for this lock are waiting already",
                    "state": _state(lock),
                    "seconds": 0.0,
                },
                command_id,
            )
            return None
        lock.waiting += 1
        task = asyncio.create_task(self.carry_out(lock, command, command_id), name=f"{lock.config.name} {command}")
        self._commands.add(task)

        def done(task: asyncio.Task[dict[str, Any]]) -> None:
            lock.waiting -= 1
            self._commands.discard(task)

        task.add_done_callback(done)
        return task

    async def carry_out(self, lock: _Lock, command: str, command_id: str | None = None) -> dict[str, Any]:
        """Runs one command and publishes its outcome on the lock's result topic."""
        started = self._clock()
        outcome: dict[str, Any] = {"command": command}
        try:
            if command != "REFRESH" and lock.config.unlock_key is None:
                outcome.update(result="failed", kind="no_unlock_key", suspect="unlock_key")
                outcome["message"] = "no unlock key or credential is configured for this lock"
            else:
                if command == "REFRESH":
                    outcome["status"] = await lock.monitor.refresh()
                elif command == "LOCK":
                    await lock.monitor.lock()
                else:
                    await lock.monitor.unlock()
                outcome["result"] = "ok"
        except LockError as error:
            outcome.update(result="failed", kind=error.kind, suspect=error.suspect, message=str(error))
        except Exception as error:
            _LOGGER.exception("%s: %s failed unexpectedly", lock.config.name, command)
            outcome.update(result="failed", kind="internal", suspect=None, message=_describe(error))
        outcome["state"] = _state(lock)
        outcome["seconds"] = round(self._clock() - started, 3)
        self._publish_result(lock, outcome, command_id)
        return outcome

    def _publish_result(self, lock: _Lock, outcome: dict[str, Any], command_id: str | None = None) -> None:
        name, command = lock.config.name, outcome["command"]
        outcome["bridge"] = self.topics.bridge_id
        if command_id is not None:
            outcome["id"] = command_id
        if outcome["result"] == "ok":
            _LOGGER.info("%s: %s done in %.2f s", name, command, outcome["seconds"])
        elif outcome["kind"] == "superseded":
            _LOGGER.info("%s: %s not carried out: %s", name, command, outcome["message"])
        else:
            suspect = f"; suspect the {outcome['suspect'].replace('_', ' ')}" if outcome.get("suspect") else ""
            _LOGGER.warning("%s: %s failed (%s): %s%s", name, command, outcome["kind"], outcome["message"], suspect)
        if self.coordinator.may_answer(command_id):
            self.publish(lock.topics.result, encode(outcome), retain=False, command_id=command_id)
        else:
            _LOGGER.warning("%s: %s was answered by another bridge while this one was away", name, command)
        self.coordinator.answered(command_id)

    # --- the whole -------------------------------------------------------------

    async def run(self, stop: asyncio.Event) -> None:
        """Runs until ``stop`` is set, then says "offline" and closes every link."""
        if self._bluetooth.scanner_backend is not None or self._bluetooth.client_backend is not None:
            _LOGGER.warning("using the Bluetooth backends of [simulation], not a radio")
        tasks = [
            asyncio.create_task(self._broker_loop(), name="broker"),
            asyncio.create_task(self._scan_loop(), name="scan"),
            asyncio.create_task(self._poll_loop(), name="poll"),
        ]
        if self._bluetooth.background is not None:
            tasks.append(asyncio.create_task(self._bluetooth.background(), name="simulation"))
        stopping = asyncio.create_task(stop.wait())
        try:
            done, _ = await asyncio.wait([stopping, *tasks], return_when=asyncio.FIRST_COMPLETED)
            for task in done:
                if task is not stopping and not task.cancelled() and task.exception() is not None:
                    raise RuntimeError(f"the {task.get_name()} loop ended") from task.exception()
            await self._say_offline()
        finally:
            # Commands still under way end with the bridge: nobody would hear their results.
            running: list[asyncio.Task[Any]] = [*tasks, *self._commands]
            stopping.cancel()
            for task in running:
                task.cancel()
            await asyncio.gather(*running, return_exceptions=True)
            for lock in self.locks:
                with contextlib.suppress(Exception):
                    await lock.monitor.close()

    async def _say_offline(self) -> None:
        client = self._client
        if client is None:
            return  # the broker has already sent the Last Will, or will
        try:
            async with asyncio.timeout(5):
                for lock in self.locks:
                    object_id = lock.config.object_id
                    if self.coordinator.serves(object_id) and self.coordinator.alone(object_id):
                        # Nobody takes it over: its availability would otherwise stay "online".
                        await client.publish(lock.topics.availability, OFFLINE, qos=1, retain=True)
                await client.publish(self.topics.bridge_availability, OFFLINE, qos=1, retain=True)
            _LOGGER.info("published offline")
        except (aiomqtt.MqttError, TimeoutError) as error:
            _LOGGER.warning("could not publish offline: %s", _describe(error))


def _state(lock: _Lock) -> str | None:
    state = lock.monitor.state
    return None if state is None else state.value


def _describe(error: BaseException) -> str:
    return str(error) or type(error).__name__
