"""Several ``python -m quovel_mqtt`` processes on one mosquitto, sharing locks.

Each bridge has a radio of its own; a lock heard by two is served by the one
that hears it better, and the locks' own journal counts the bolt's moves.
"""

from __future__ import annotations

import asyncio
import json
import time
from pathlib import Path
from typing import Any

import processes
from conftest import HomeAssistant, Mosquitto, retained
from processes import Bridges, object_id
from support.keys import ADDRESS as A

B = "C4:3A:51:0B:7E:2A"
a, b = object_id(A), object_id(B)
# Generous: two cores shared with other work, and processes that start slowly.
WAIT = 45.0


async def served_by(ha: HomeAssistant, lock: str, bridge_id: str, *, after: float = 0.0) -> float:
    return await processes.served_by(ha, lock, bridge_id, after=after, timeout=WAIT)


async def command(ha: HomeAssistant, lock: str, name: str) -> dict[str, Any]:
    sent = await ha.send(f"quovel/{lock}/set", name)
    return await ha.result(f"quovel/{lock}/result", after=sent, timeout=WAIT)


def since(ha: HomeAssistant, topic: str, after: float) -> list[str]:
    return [seen.payload for seen in ha.seen if seen.topic == topic and seen.at >= after]


def results(ha: HomeAssistant, lock: str) -> list[dict[str, Any]]:
    return [json.loads(payload) for payload in ha.payloads(f"quovel/{lock}/result")]


def test_two_bridges_and_the_server_killed_mid_command(broker: Mosquitto, tmp_path: Path) -> None:
    # Without a held link every command connects, which takes a second: room to kill a bridge in.
    bridges = Bridges(
        tmp_path, broker.port, {"far": {A: -80, B: -60}, "near": {A: -50}}, "offline_after = 3\nhold_link = 0\n", 1.0
    )
    bridges.start_all()

    async def scenario() -> None:
        async with HomeAssistant(broker.port) as ha:
            await served_by(ha, a, "near")
            await served_by(ha, b, "far")
            await ha.wait_for(f"quovel/{a}/state", "LOCKED", timeout=WAIT)
            # Whichever bridge the broker hands a command to, its lock's server carries it out.
            for lock, name in [(a, "UNLOCK"), (b, "UNLOCK"), (a, "LOCK"), (b, "LOCK")] * 2:
                outcome = await command(ha, lock, name)
                assert (outcome["result"], outcome["bridge"]) == ("ok", "near" if lock == a else "far"), outcome
            assert len(bridges.actuations()) == 8

            sent = await ha.send(f"quovel/{a}/set", "UNLOCK")
            await ha.wait_for(f"quovel/bridge/near/accepted/{a}", after=sent, timeout=WAIT)
            bridges.kill("near")
            outcome = await ha.result(f"quovel/{a}/result", after=sent, timeout=WAIT)
            moved = len(bridges.actuations()) - 8
            assert (outcome["result"], moved) == ("ok", 1) or (outcome["result"], outcome["kind"]) == (
                "failed",
                "unreachable",
            ), outcome
            assert moved <= 1
            await served_by(ha, a, "far", after=sent)
            outcome = await command(ha, a, "UNLOCK")
            assert (outcome["result"], outcome["bridge"], outcome["state"]) == ("ok", "far", "UNLOCKED")
            await asyncio.sleep(1.0)
            # One result per command, and the lock was never shown unavailable.
            assert (len(results(ha, a)), len(results(ha, b))) == (6, 4)
            assert "offline" not in since(ha, f"quovel/{a}/availability", sent)
            kept = await retained(broker.port)
            assert kept[f"quovel/{a}/availability"] == kept["quovel/bridge/far/availability"] == "online"
            assert (kept["quovel/bridge/near/availability"], kept[f"quovel/{a}/state"]) == ("offline", "UNLOCKED")

    try:
        asyncio.run(scenario())
    finally:
        bridges.stop_all()
    assert len(bridges.actuations()) in (9, 10)
    # Distinct client identifiers: neither bridge knocked the other off the broker.
    assert "reconnecting" not in bridges.logs()


def test_three_bridges_a_broker_restart_and_a_lock_out_of_reach(broker: Mosquitto, tmp_path: Path) -> None:
    bridges = Bridges(tmp_path, broker.port, {"h1": {A: -70, B: None}, "h2": {A: -55}, "h3": {A: None, B: -60}})
    bridges.start_all()

    async def scenario() -> None:
        async with HomeAssistant(broker.port) as ha:
            for h in ("h1", "h2", "h3"):
                await ha.wait_for(f"quovel/bridge/{h}/availability", "online", timeout=WAIT)
            await served_by(ha, a, "h2")
            await served_by(ha, b, "h3")
            broker.kill()
            await asyncio.sleep(0.5)
            broker.start()
            restarted = await ha.wait_for("quovel/bridge/h1/availability", "online", after=ha.seen[-1].at, timeout=WAIT)
            await served_by(ha, a, "h2", after=restarted.at)
            await served_by(ha, b, "h3", after=restarted.at)
            for lock, server in ((a, "h2"), (b, "h3")):
                outcome = await command(ha, lock, "UNLOCK")
                assert (outcome["result"], outcome["bridge"]) == ("ok", server), outcome
            # h2 no longer hears A: h1 takes it over within the offline limit, and A stays available.
            moved = time.monotonic()
            bridges.hear("h2", A, None)
            await served_by(ha, a, "h1", after=moved)
            outcome = await command(ha, a, "LOCK")
            assert (outcome["result"], outcome["bridge"]) == ("ok", "h1"), outcome
            await asyncio.sleep(1.0)
            assert (len(results(ha, a)), len(results(ha, b))) == (2, 1)
            assert "offline" not in since(ha, f"quovel/{a}/availability", moved)
            kept = await retained(broker.port)
            assert {kept[f"quovel/bridge/{h}/availability"] for h in ("h1", "h2", "h3")} == {"online"}
            assert (kept[f"quovel/{a}/state"], kept[f"quovel/{b}/state"]) == ("LOCKED", "UNLOCKED")

    try:
        asyncio.run(scenario())
    finally:
        bridges.stop_all()
    assert sorted(bridges.actuations()) == sorted([f"{A} 0x47 accepted", f"{B} 0x47 accepted", f"{A} 0x58 accepted"])
