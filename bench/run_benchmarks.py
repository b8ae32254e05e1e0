"""Times each hot path of quovel three ways in one process: quovel itself,
the pure-Python yardstick (pure_python.py), and the floor, the cheapest
CPython call of the same shape. Variants are timed as statements (no
lambdas), interleaved round by round, and reported as medians.

    python bench/run_benchmarks.py [--quick] [--json results.json]

Prints figures only: nothing here asserts a timing.
"""

from __future__ import annotations

import argparse
import base64
import datetime
import json
import math
import os
import platform
import statistics
import sys
import time
import timeit
from dataclasses import dataclass
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import pure_python
import tuned_python

import quovel

VARIANTS = ("quovel", "pure", "floor")

# Floors: a built-in C function or attribute of the same arity that returns
# a new small object. `c` is a bound complex, `x` a bytes object.
FLOOR_TWO_ARGS = "divmod(773, 7)"
FLOOR_ONE_ARG = "len(x)"
FLOOR_PROPERTY = "c.imag"
FLOOR_NO_ARG_METHOD = "c.conjugate()"

AES_KEY = bytes.fromhex("00112233445566778899aabbccddeeff")
AES_KEY_TEXT = ":".join(f"{b:02X}" for b in AES_KEY)
LIVE = bytes.fromhex("02015500000000aabbccddeeff")  # 13 bytes under 0x0305: stateful
STALE = bytes.fromhex("000003010002aabbccddeeff01")  # offset layout, type 3: stateless
DFU = bytes(13)
ADDRESS = "ff:ee:dd:cc:bb:aa"


def credential_text(number: str) -> str:
    """A credential that decodes to `number`, built by inverting the decoding."""
    mask = 0x5C
    values = [ord(c) ^ mask for c in number]
    last = len(values)
    seed = pure_python.CRC8_REPLACEMENT if last == 33 else pure_python.CRC8_TABLE[last % 256]
    values.append(mask ^ seed)
    return base64.b64encode(",".join(map(str, values)).encode()).decode()


def reply_frame(command: int, status: int, data: bytes) -> bytes:
    packet = pure_python.build_packet(pure_python.LockVersion(), command, bytes([command, status]) + data, AES_KEY)
    return packet[:-2]


def chunks(packet: bytes, size: int = 20) -> list[bytes]:
    return [packet[i : i + size] for i in range(0, len(packet), size)]


@dataclass
class Case:
    name: str
    statement: str  # the same text for quovel and the yardstick
    floor: str
    namespace: dict  # built per module: `m` is quovel or pure_python
    min_speedup: float | None = None  # over the yardstick
    max_over_floor: float | None = None
    note: str = ""
    tuned: bool = False  # also timed against tuned_python.py


def common(m) -> dict:
    return {"m": m, "c": 1.5j, "x": LIVE}


def build_cases() -> list[Case]:
    status_reply = reply_frame(0x14, 0x01, bytes([0x64, 0x00]))
    handshake_reply = reply_frame(0x55, 0x01, bytes([0x12, 0x34, 0x56, 0x78]))
    # 47 bytes: the check-user-time request, the longest packet of a session.
    packet = quovel.UnlockOp(AES_KEY, 12345678).start()[1]
    credential = credential_text("12345678")

    def parse(m):
        return {**common(m), "parse_advertisement": m.parse_advertisement, "data": LIVE}

    def select(m):
        entries = {0x1234: STALE, 0x1912: DFU, 0x0305: LIVE}
        return {**common(m), "select_advertisement": m.select_advertisement, "entries": entries, "address": ADDRESS}

    def track(m):
        return {**common(m), "tracker": m.LockTracker(), "ad": m.parse_advertisement(0x0305, LIVE)}

    def prop(m):
        return {**common(m), "ad": m.parse_advertisement(0x0305, LIVE)}

    def assemble(m):
        c1, c2, c3 = chunks(packet)
        return {**common(m), "assembler": m.FrameAssembler(), "c1": c1, "c2": c2, "c3": c3}

    def status(m):
        return {**common(m), "op": m.StatusOp(AES_KEY), "reply": status_reply, "x": status_reply}

    def unlock(m):
        return {**common(m), "op": m.UnlockOp(AES_KEY, 12345678), "reply": handshake_reply, "x": handshake_reply}

    def key_text(m):
        return {**common(m), "normalize_aes_key": m.normalize_aes_key, "text": AES_KEY_TEXT}

    def credential_ns(m):
        return {**common(m), "decode_credential": m.decode_credential, "text": credential}

    frame_round = (
        "assembler.push(c1); assembler.push(c2); assembler.push(c3); assembler.next_frame(); assembler.next_frame()"
    )
    frame_floor = f"{FLOOR_ONE_ARG}; {FLOOR_ONE_ARG}; {FLOOR_ONE_ARG}; {FLOOR_NO_ARG_METHOD}; {FLOOR_NO_ARG_METHOD}"
    return [
        Case(
            "parse_advertisement",
            "parse_advertisement(773, data)",
            FLOOR_TWO_ARGS,
            parse,
            15,
            2,
            "13-byte payload",
            tuned=True,
        ),
        Case(
            "select_advertisement",
            "select_advertisement(entries, address)",
            FLOOR_TWO_ARGS,
            select,
            15,
            6,
            "3 entries: stale, DFU, live",
        ),
        Case("LockTracker.on_advertisement", "tracker.on_advertisement(1000, ad)", FLOOR_TWO_ARGS, track, 2.5, 4),
        Case("Advertisement.battery", "ad.battery", FLOOR_PROPERTY, prop, None, 1.5, "property read"),
        Case(
            "FrameAssembler round",
            frame_round,
            frame_floor,
            assemble,
            3,
            None,
            "47 bytes in 20-byte chunks: 3 push, 2 next_frame",
        ),
        Case("StatusOp.start()", "op.start()", FLOOR_NO_ARG_METHOD, status, 10, None),
        Case(
            "StatusOp.start() + handle_frame()",
            "op.start(); op.handle_frame(reply)",
            f"{FLOOR_NO_ARG_METHOD}; {FLOOR_ONE_ARG}",
            status,
            None,
            None,
            "a whole status exchange",
        ),
        Case("UnlockOp.start()", "op.start()", FLOOR_NO_ARG_METHOD, unlock, 10, None),
        Case(
            "UnlockOp.start() + handle_frame()",
            "op.start(); op.handle_frame(reply)",
            f"{FLOOR_NO_ARG_METHOD}; {FLOOR_ONE_ARG}",
            unlock,
            None,
            None,
            "handshake, then its reply to the actuation request",
        ),
        Case(
            "normalize_aes_key",
            "normalize_aes_key(text)",
            FLOOR_ONE_ARG,
            key_text,
            15,
            None,
            "16 colon-separated pairs",
            tuned=True,
        ),
        Case("decode_credential", "decode_credential(text)", FLOOR_ONE_ARG, credential_ns, 15, None),
    ]


# Each derived step is one round minus the step timed on its own.
DERIVED = [
    (
        "StatusOp.handle_frame(reply)",
        "StatusOp.start() + handle_frame()",
        "StatusOp.start()",
        10,
        "status reply to result",
    ),
    (
        "UnlockOp.handle_frame(handshake)",
        "UnlockOp.start() + handle_frame()",
        "UnlockOp.start()",
        10,
        "handshake reply to actuation request",
    ),
]


def check_agreement() -> None:
    """The yardstick must do the same work: compare results before timing."""
    fields = ("kind", "address", "battery", "is_unlocked", "has_events", "is_setting_mode")
    for payload in (LIVE, STALE, DFU):
        q = quovel.parse_advertisement(0x0305, payload)
        p = pure_python.parse_advertisement(0x0305, payload)
        assert [getattr(q, f) for f in fields] == [getattr(p, f) for f in fields], payload
    entries = {0x1234: STALE, 0x1912: DFU, 0x0305: LIVE}
    assert (
        quovel.select_advertisement(entries, ADDRESS).address
        == pure_python.select_advertisement(entries, ADDRESS).address
    )
    assert quovel.normalize_aes_key(AES_KEY_TEXT) == pure_python.normalize_aes_key(AES_KEY_TEXT)
    text = credential_text("12345678")
    assert quovel.decode_credential(text) == pure_python.decode_credential(text) == 12345678
    for payload in (LIVE, STALE, DFU):
        q = quovel.parse_advertisement(0x0305, payload)
        t = tuned_python.parse_advertisement(0x0305, payload)
        assert [getattr(q, f) for f in fields] == [getattr(t, f) for f in fields], payload
    assert tuned_python.normalize_aes_key(AES_KEY_TEXT) == AES_KEY.hex()
    for m in (quovel, pure_python):
        op = m.StatusOp(AES_KEY)
        assert op.start() == quovel.StatusOp(AES_KEY).start()
        assert op.handle_frame(reply_frame(0x14, 0x01, bytes([0x64, 0x00]))) == ("done", "LOCKED")
        op = m.UnlockOp(AES_KEY, 12345678)
        op.start()
        step = op.handle_frame(reply_frame(0x55, 0x01, bytes([0x12, 0x34, 0x56, 0x78])))
        assert step[0] == "write" and len(step[1]) == 31
        tracker = m.LockTracker()
        assert tracker.on_advertisement(1000, m.parse_advertisement(0x0305, LIVE)) == {"state", "available", "battery"}


# ---- timing --------------------------------------------------------------------------


def calibrate(timer: timeit.Timer, sample_seconds: float) -> int:
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= sample_seconds / 4:
            return max(1, int(number * sample_seconds / elapsed))
        number *= 4 if elapsed < sample_seconds / 40 else 2


# Process CPU time: on a shared machine, time spent descheduled is not ours.
TIMER = time.process_time


def run_interleaved(timers: dict, rounds: int, sample_seconds: float) -> dict:
    """timers: key -> Timer. Returns key -> list of seconds per call."""
    numbers = {key: calibrate(timer, sample_seconds) for key, timer in timers.items()}
    samples = {key: [] for key in timers}
    keys = list(timers)
    for r in range(rounds):
        # Rotate the order so no variant always runs right after another.
        order = keys[r % len(keys) :] + keys[: r % len(keys)]
        for key in order:
            samples[key].append(timers[key].timeit(numbers[key]) / numbers[key])
    return samples


def measure_hot_paths(rounds: int, sample_seconds: float) -> list[dict]:
    cases = build_cases()
    timers = {}
    for case in cases:
        timers[(case.name, "quovel")] = timeit.Timer(case.statement, TIMER, globals=case.namespace(quovel))
        timers[(case.name, "pure")] = timeit.Timer(case.statement, TIMER, globals=case.namespace(pure_python))
        timers[(case.name, "floor")] = timeit.Timer(case.floor, TIMER, globals=case.namespace(quovel))
        if case.tuned:
            timers[(case.name, "tuned")] = timeit.Timer(case.statement, TIMER, globals=case.namespace(tuned_python))
    timers[("empty loop", "floor")] = timeit.Timer("pass", TIMER)
    samples = run_interleaved(timers, rounds, sample_seconds)

    def median_ns(name, variant):
        return statistics.median(samples[(name, variant)]) * 1e9

    def paired(name):
        # Per-round ratios: the three variants of a round ran back to back,
        # so a burst of load elsewhere on the machine cancels out.
        return [samples[(name, v)] for v in VARIANTS]

    rows = []
    series = {}
    for case in cases:
        q, p, f = (median_ns(case.name, v) for v in VARIANTS)
        series[case.name] = paired(case.name)
        row = {
            "name": case.name,
            "statement": case.statement,
            "floor_statement": case.floor,
            "quovel_ns": q,
            "pure_ns": p,
            "floor_ns": f,
            "note": case.note,
            "min_speedup": case.min_speedup,
            "max_over_floor": case.max_over_floor,
            "derived": False,
        }
        if case.tuned:
            row["tuned_ns"] = median_ns(case.name, "tuned")
            row["speedup_over_tuned"] = statistics.median(
                t / qr for qr, t in zip(samples[(case.name, "quovel")], samples[(case.name, "tuned")])
            )
        rows.append(row)
    by_name = {row["name"]: row for row in rows}
    for name, whole, part, min_speedup, note in DERIVED:
        w, s = by_name[whole], by_name[part]
        series[name] = [[a - b for a, b in zip(sw, ss)] for sw, ss in zip(series[whole], series[part])]
        rows.append(
            {
                "name": name,
                "statement": f"({whole}) - ({part})",
                "floor_statement": FLOOR_ONE_ARG,
                "quovel_ns": w["quovel_ns"] - s["quovel_ns"],
                "pure_ns": w["pure_ns"] - s["pure_ns"],
                "floor_ns": w["floor_ns"] - s["floor_ns"],
                "note": note,
                "min_speedup": min_speedup,
                "max_over_floor": None,
                "derived": True,
            }
        )
    empty = median_ns("empty loop", "floor")
    for row in rows:
        q, p, f = series[row["name"]]
        row["speedup"] = statistics.median(pr / qr for qr, pr in zip(q, p))
        # A derived floor is a difference of two tiny figures: too noisy to pair.
        row["over_floor"] = (
            row["quovel_ns"] / row["floor_ns"] if row["derived"] else statistics.median(qr / fr for qr, fr in zip(q, f))
        )
        row["empty_loop_ns"] = empty
    return rows


# ---- growth with input size -------------------------------------------------------

SIZES = (13, 64, 256, 1024, 4096, 16384, 65536)


def stream_of(size: int) -> bytes:
    packet = quovel.UnlockOp(AES_KEY, 12345678).start()[1]
    return (packet * (size // len(packet) + 1))[:size]


def credential_of(size: int) -> str:
    # Base64 of ~3.5 text bytes per list byte: pick the digit count that lands near `size`.
    digits = max(2, int(size / (4 / 3 * 3.6)))
    return credential_text("0" * (digits - 8) + "12345678" if digits > 8 else "1234"[:digits])


def drain(assembler) -> None:
    while assembler.next_frame() is not None:
        pass


GROWTH = {
    # name: (statement, namespace for a given size)
    "parse_advertisement": (
        "parse_advertisement(773, data)",
        lambda n: {
            "parse_advertisement": quovel.parse_advertisement,
            "data": bytes.fromhex("aa") * (n - 6) + LIVE[-6:],
        },
    ),
    "select_advertisement (bytearray value)": (
        "select_advertisement(entries)",
        lambda n: {
            "select_advertisement": quovel.select_advertisement,
            "entries": {0x0305: bytearray(LIVE[:7]) + bytearray(n - 7)},
        },
    ),
    "decode_credential": (
        "decode_credential(text)",
        lambda n: {"decode_credential": quovel.decode_credential, "text": credential_of(n)},
    ),
    "normalize_aes_key": (
        "normalize_aes_key(text)",
        lambda n: {"normalize_aes_key": quovel.normalize_aes_key, "text": " " * max(0, n - 32) + AES_KEY.hex()},
    ),
    "FrameAssembler, 20-byte chunks": (
        "for chunk in chunks:\n    assembler.push(chunk)\n    drain(assembler)",
        lambda n: {"assembler": quovel.FrameAssembler(), "chunks": chunks(stream_of(n)), "drain": drain},
    ),
    "FrameAssembler, one push": (
        "assembler.push(stream)\ndrain(assembler)",
        lambda n: {"assembler": quovel.FrameAssembler(), "stream": stream_of(n), "drain": drain},
    ),
}


def input_size(name: str, namespace: dict, n: int) -> int:
    if "text" in namespace:
        return len(namespace["text"])
    return n


def measure_growth(rounds: int, sample_seconds: float) -> list[dict]:
    timers = {}
    sizes = {}
    for name, (statement, make) in GROWTH.items():
        for n in SIZES:
            namespace = make(n)
            timers[(name, n)] = timeit.Timer(statement, TIMER, globals=namespace)
            sizes[(name, n)] = input_size(name, namespace, n)
    samples = run_interleaved(timers, rounds, sample_seconds)
    rows = []
    for name in GROWTH:
        points = [{"bytes": sizes[(name, n)], "ns": statistics.median(samples[(name, n)]) * 1e9} for n in SIZES]
        big, small = points[-1], points[-3]  # 64 KiB against 4 KiB
        exponent = math.log(big["ns"] / small["ns"]) / math.log(big["bytes"] / small["bytes"])
        rows.append({"name": name, "points": points, "exponent": exponent})
    return rows


# ---- machine and output ----------------------------------------------------------------


def machine() -> dict:
    cpu = platform.processor() or platform.machine()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    try:
        from cryptography.hazmat.backends.openssl.backend import backend

        openssl = backend.openssl_version_text()
    except Exception:
        openssl = "unknown"
    import cryptography

    return {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "python": platform.python_version(),
        "implementation": platform.python_implementation(),
        "platform": platform.platform(),
        "cryptography": cryptography.__version__,
        "cryptography_openssl": openssl,
        "date": datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC"),
    }


def verdict(row: dict) -> str:
    marks = []
    if row["min_speedup"] is not None:
        marks.append("met" if row["speedup"] >= row["min_speedup"] else "MISSED")
    if row["max_over_floor"] is not None:
        marks.append("met" if row["over_floor"] <= row["max_over_floor"] else "MISSED")
    return "/".join(marks) or "-"


def print_table(rows: list[dict], growth: list[dict]) -> None:
    head = f"{'hot path':36s} {'quovel':>10s} {'pure Py':>10s} {'floor':>9s} {'speed-up':>9s} {'/floor':>7s}  target"
    print(head)
    print("-" * len(head))
    for row in rows:
        target = []
        if row["min_speedup"] is not None:
            target.append(f">={row['min_speedup']:g}x")
        if row["max_over_floor"] is not None:
            target.append(f"floor<={row['max_over_floor']:g}x")
        print(
            f"{row['name']:36s} {row['quovel_ns']:8.0f}ns {row['pure_ns']:8.0f}ns {row['floor_ns']:7.0f}ns "
            f"{row['speedup']:8.1f}x {row['over_floor']:6.2f}x  {' '.join(target)} {verdict(row)}"
        )
    print(f"(an empty timeit loop costs {rows[0]['empty_loop_ns']:.1f} ns per statement; included above)")
    for row in rows:
        if "tuned_ns" in row:
            print(
                f"against hand-tuned Python, {row['name']}: {row['tuned_ns']:.0f} ns, "
                f"quovel {row['speedup_over_tuned']:.1f}x faster"
            )
    print()
    print(f"{'growth with input size':40s} " + " ".join(f"{n:>8d}" for n in SIZES) + "  exponent")
    for row in growth:
        print(
            f"{row['name']:40s} "
            + " ".join(f"{p['ns'] / 1000:7.2f}u" for p in row["points"])
            + f"  {row['exponent']:5.2f}"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer, shorter samples")
    parser.add_argument("--json", type=Path, help="also write the results here")
    args = parser.parse_args()
    rounds, sample = (7, 0.005) if args.quick else (51, 0.01)

    check_agreement()
    rows = measure_hot_paths(rounds, sample)
    growth = measure_growth(max(5, rounds // 3), sample)
    print_table(rows, growth)
    if args.json:
        args.json.write_text(
            json.dumps(
                {"machine": machine(), "hot_paths": rows, "growth": growth, "rounds": rounds, "sample_seconds": sample},
                indent=1,
            )
        )


if __name__ == "__main__":
    main()
