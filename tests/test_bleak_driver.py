"""The example bleak driver against a simulated lock behind a fake bleak client."""

from __future__ import annotations

import asyncio
import importlib.util
import os
import pathlib
import random
import subprocess
import sys

import pytest
import quovel
from quovel_sim import Faults, SimulatedClient, SimulatedLock

ROOT = pathlib.Path(__file__).resolve().parent.parent
_PATH = ROOT / "examples" / "bleak_driver.py"
_SPEC = importlib.util.spec_from_file_location("bleak_driver", _PATH)
bleak_driver = importlib.util.module_from_spec(_SPEC)
_SPEC.loader.exec_module(bleak_driver)

AES_KEY = bytes.fromhex("8e73b0f7da0e6452c810f32b809079e5")
UNLOCK_KEY = 2718281828
MAX_STRAYS = quovel.MAX_STRAY_FRAMES
RETRIES = quovel.CRC_RETRIES


def state_of(lock: SimulatedLock) -> str:
    return "LOCKED" if lock.locked else "UNLOCKED"


class Harness:
    """A tracker, fake time and a client factory around one simulated lock."""

    def __init__(self, lock: SimulatedLock, *, connect_seconds: float = 0.0) -> None:
        self.lock = lock
        self.now = 0.0
        self.sleeps: list[float] = []
        self.changes: list[set[str]] = []
        self.clients: list[SimulatedClient] = []
        self.connect_failures = 0
        self.connect_seconds = connect_seconds
        self.tracker = quovel.LockTracker()
        self.hear_advertisement()
        self.changes.clear()

    def hear_advertisement(self, rng: random.Random | None = None) -> None:
        data = self.lock.manufacturer_data(
            stale=bool(rng and rng.random() < 0.5), dfu=bool(rng and rng.random() < 0.5)
        )
        advertisement = quovel.select_advertisement(data, self.lock.address)
        self.tracker.on_advertisement(int(self.now * 1000), advertisement)

    def driver(self, *, unlock_key: int = UNLOCK_KEY, reply_timeout: float = 1.0):
        return bleak_driver.LockDriver(
            self._new_client,
            self.tracker,
            AES_KEY,
            unlock_key,
            on_change=self.changes.append,
            sleep=self._sleep,
            clock=lambda: self.now,
            reply_timeout=reply_timeout,
        )

    def run(self, action: str, **driver_options):
        return asyncio.run(getattr(self.driver(**driver_options), action)())

    def _new_client(self) -> SimulatedClient:
        failing = self.connect_failures > 0
        self.connect_failures -= failing
        harness = self

        class TimedClient(SimulatedClient):
            async def connect(self, **kwargs):
                harness.now += harness.connect_seconds
                await super().connect(**kwargs)

        client = TimedClient(self.lock, connect_failures=int(failing))
        self.clients.append(client)
        return client

    async def _sleep(self, seconds: float) -> None:
        self.sleeps.append(seconds)
        self.now += seconds


@pytest.fixture
def harness() -> Harness:
    return Harness(SimulatedLock(aes_key=AES_KEY, unlock_key=UNLOCK_KEY))


@pytest.mark.parametrize("action", ["lock", "unlock"])
def test_actuation_writes_in_chunks_and_settles_the_tracker(harness, action):
    harness.lock.locked = action == "unlock"
    assert harness.run(action) is None
    assert state_of(harness.lock) == harness.tracker.reported_state == ("LOCKED" if action == "lock" else "UNLOCKED")
    assert harness.changes == [{"state"}, {"state"}]
    (client,) = harness.clients
    assert not client.is_connected
    # 47-byte handshake and 31-byte actuation: 3 + 2 chunks, a pause between each pair.
    assert [len(w) for w in client.writes] == [20, 20, 7, 20, 11]
    assert harness.sleeps == [quovel.WRITE_CHUNK_DELAY] * 3


@pytest.mark.parametrize("locked", [True, False])
def test_status_leaves_the_tracker_alone(harness, locked):
    harness.lock.locked = locked
    assert harness.run("status") == state_of(harness.lock)
    assert harness.changes == [] and harness.tracker.pending is None


def test_connect_backs_off_and_credits_only_the_connecting_time():
    harness = Harness(SimulatedLock(aes_key=AES_KEY, unlock_key=UNLOCK_KEY), connect_seconds=2.0)
    harness.connect_failures = 2
    harness.run("status")
    assert harness.sleeps[:2] == [quovel.connect_backoff(1), quovel.connect_backoff(2)]
    assert len(harness.clients) == 3
    # Heard at 0 ms; three 2 s connection attempts were deaf time.
    blind_ms = 6000
    assert harness.tracker.poll_availability(blind_ms + 4999, 5000) == set()
    assert harness.tracker.poll_availability(blind_ms + 5000, 5000) == {"available"}


def test_connect_gives_up_after_its_attempts(harness):
    harness.connect_failures = 4
    with pytest.raises(TimeoutError):
        harness.run("unlock")
    assert harness.sleeps == [quovel.connect_backoff(n) for n in (1, 2, 3)]
    assert (harness.tracker.reported_state, harness.tracker.pending) == ("UNLOCKING", "unlock")


HANDSHAKE_REFUSED = (
    "command 0x55 failed with response byte 0x00 — the handshake was refused, "
    "which points at the AES key or the protocol version"
)
UNLOCK_REFUSED = (
    "command 0x47 failed with response byte 0x00 — the handshake succeeded, "
    "so the AES key and protocol version are right; this points at the unlock key"
)


def case(id, faults=None, error=None, message=None, crc_retries=0, lock_key=AES_KEY, **options):
    return pytest.param(Faults(**(faults or {})), lock_key, options, error, message, crc_retries, id=id)


@pytest.mark.parametrize(
    ("faults", "lock_key", "options", "error", "message", "crc_retries"),
    [
        case("crc-once", {"corrupt_crc": 1}, crc_retries=1),
        case("crc-at-limit", {"corrupt_crc": RETRIES}, crc_retries=RETRIES),
        case("crc-beyond", {"corrupt_crc": RETRIES + 1}, quovel.CrcMismatch,
             "^packet CRC mismatch: observed 0x.., computed 0x..$", crc_retries=RETRIES),
        case("strays-at-limit", {"stray_frames": MAX_STRAYS}),
        case("strays-beyond", {"stray_frames": MAX_STRAYS + 1}, quovel.UnexpectedCommand,
             "^unexpected response command: expected 0x55, got 0x14$"),
        case("split-every-byte", {"split_every_byte": True}),
        case("silent", {"silent": True}, TimeoutError, "^no reply from the lock within 0.01 s$",
             reply_timeout=0.01),
        case("refuse-handshake", {"refuse_handshake": True}, quovel.QuovelError, f"^{HANDSHAKE_REFUSED}$"),
        case("refuse-actuation", {"refuse_actuation": True}, quovel.QuovelError, f"^{UNLOCK_REFUSED}$"),
        case("wrong-unlock-key", error=quovel.QuovelError, message=f"^{UNLOCK_REFUSED}$",
             unlock_key=UNLOCK_KEY - 1),
        case("wrong-aes-key", error=quovel.QuovelError, message="^AES decryption failed$",
             lock_key=bytes(16)),
    ],
)
def test_faults_are_retried_skipped_or_reported(harness, faults, lock_key, options, error, message, crc_retries):
    harness.lock.faults, harness.lock.aes_key = faults, lock_key
    if error is None:
        harness.run("unlock", **options)
        assert harness.tracker.reported_state == state_of(harness.lock) == "UNLOCKED"
    else:
        with pytest.raises(error, match=message):
            harness.run("unlock", **options)
        assert (harness.tracker.reported_state, harness.tracker.pending) == ("UNLOCKING", "unlock")
        harness.hear_advertisement()
        assert harness.tracker.reported_state == state_of(harness.lock) == "LOCKED"
    assert harness.sleeps.count(quovel.CRC_RETRY_DELAY) == crc_retries
    assert all(not client.is_connected for client in harness.clients)


def test_a_bad_key_fails_before_anything_starts(harness):
    with pytest.raises(quovel.QuovelError, match="^invalid unlock key"):
        harness.run("lock", unlock_key=0)
    assert harness.tracker.pending is None and harness.clients == []


def test_a_thousand_random_exchanges_leave_the_tracker_true():
    rng = random.Random(20261207)
    lock = SimulatedLock(aes_key=AES_KEY, unlock_key=UNLOCK_KEY)
    harness = Harness(lock)
    outcomes = {"ok": 0, "failed": 0}

    async def one_round() -> None:
        faults = lock.faults = Faults(
            corrupt_crc=rng.choice([0, 0, 0, 1, RETRIES, RETRIES + 1]),
            stray_frames=rng.randint(0, MAX_STRAYS),
            refuse_handshake=rng.random() < 0.05,
            refuse_actuation=rng.random() < 0.05,
        )
        lock.notify_chunk = rng.randint(1, 64)
        harness.connect_failures = rng.choice([0, 0, 0, 1, 2])
        wrong_key = rng.random() < 0.05
        action = rng.choice(["status", "lock", "unlock"])
        expect_failure = faults.corrupt_crc > RETRIES or (
            action != "status" and (faults.refuse_handshake or faults.refuse_actuation or wrong_key)
        )
        driver = harness.driver(unlock_key=UNLOCK_KEY ^ wrong_key)
        try:
            result = await getattr(driver, action)()
        except (quovel.QuovelError, TimeoutError):
            assert expect_failure
            outcomes["failed"] += 1
            if action != "status":
                assert harness.tracker.pending == action
                harness.hear_advertisement(rng)
        else:
            assert not expect_failure
            outcomes["ok"] += 1
            if action == "status":
                assert result == state_of(lock)
            else:
                assert lock.locked is (action == "lock")
        if rng.random() < 0.2:
            harness.hear_advertisement(rng)
        if harness.tracker.reported_state is not None:
            assert harness.tracker.reported_state == state_of(lock)
            assert harness.tracker.pending is None

    async def rounds() -> None:
        for _ in range(1000):
            await one_round()

    asyncio.run(rounds())
    assert outcomes["ok"] > 600 and outcomes["failed"] > 100


def test_driver_walkthrough_and_simulator_pass_strict_type_checks():
    # The driver is checked against bleak's own annotations and the module's stubs.
    pytest.importorskip("mypy")
    checked = [_PATH, ROOT / "examples" / "walkthrough.py", ROOT / "simulator" / "quovel_sim"]
    command = [sys.executable, "-m", "mypy", "--strict", "--cache-dir", os.devnull, *map(str, checked)]
    result = subprocess.run(command, capture_output=True, text=True, check=False)
    assert result.returncode == 0, result.stdout + result.stderr
