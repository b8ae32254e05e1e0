"""Runs quovel's hot paths for an instruction counter (callgrind) outside
the process. Needs quovel alone, so that it runs on any interpreter the
wheel is unpacked for.

    python instruction_probe.py ITERATIONS

Every path runs a few times first, so that what happens once per process
(types, interned strings, the cipher lookup, the assembler's buffer) is
done. Then each path runs N times and 2N times, and before each of those
phases the probe calls os.fspath, a C function nothing else here calls:
the counter cuts its profile there (callgrind --dump-before=PyOS_FSPath),
and the difference of a path's two phases is N calls of it alone.
"""

from __future__ import annotations

import itertools
import os
import sys

AES_KEY = bytes.fromhex("00112233445566778899aabbccddeeff")
AES_KEY_TEXT = ":".join(f"{b:02X}" for b in AES_KEY)
LIVE = bytes.fromhex("02015500000000aabbccddeeff")
STALE = bytes.fromhex("000003010002aabbccddeeff01")
DFU = bytes(13)
ADDRESS = "ff:ee:dd:cc:bb:aa"
# Replies of a lock with AES_KEY (frames as the assembler hands them over).
STATUS_REPLY = bytes.fromhex("7f5a0503020001000114aa10c9b4819d4d62cdc1ce820051a62d0d81f0")
HANDSHAKE_REPLY = bytes.fromhex("7f5a0503020001000155aa1026cace8bdf6ab67e5a99897f528366f657")
# The 47-byte check-user-time request, in 20-byte chunks.
PACKET = bytes.fromhex("7f5a0503020001000155aa209e82de2b02d99aefa2342d719156542d2fe1500ee987758e44bceea1d0f7db52280d0a")
CREDENTIAL = "MTA5LDExMCwxMTEsMTA0LDEwNSwxMDYsMTA3LDEwMCwxNTg="

# name: (statement, setup); the setup's names are the statement's globals.
PATHS: dict[str, tuple[str, str]] = {
    "loop (nothing)": ("pass", ""),
    "divmod(773, 7)": ("divmod(773, 7)", ""),
    "parse_advertisement": ("parse_advertisement(773, data)", "data = LIVE"),
    "select_advertisement (3 entries)": (
        "select_advertisement(entries, address)",
        "entries = {0x1234: STALE, 0x1912: DFU, 0x0305: LIVE}; address = ADDRESS",
    ),
    "LockTracker.on_advertisement": (
        "tracker.on_advertisement(1000, ad)",
        "tracker = LockTracker(); ad = parse_advertisement(0x0305, LIVE)",
    ),
    "LockTracker.on_command_started": ("tracker.on_command_started('unlock')", "tracker = LockTracker()"),
    "LockTracker.on_status": ("tracker.on_status(1000, 'LOCKED')", "tracker = LockTracker()"),
    "Advertisement.battery": ("ad.battery", "ad = parse_advertisement(0x0305, LIVE)"),
    "FrameAssembler round": (
        "assembler.push(c1); assembler.push(c2); assembler.push(c3); assembler.next_frame(); assembler.next_frame()",
        "assembler = FrameAssembler(); c1, c2, c3 = PACKET[:20], PACKET[20:40], PACKET[40:]",
    ),
    "StatusOp round": ("op.start(); op.handle_frame(reply)", "op = StatusOp(AES_KEY); reply = STATUS_REPLY"),
    "UnlockOp.start()": ("op.start()", "op = UnlockOp(AES_KEY, 12345678)"),
    "UnlockOp handshake round": (
        "op.start(); op.handle_frame(reply)",
        "op = UnlockOp(AES_KEY, 12345678); reply = HANDSHAKE_REPLY",
    ),
    "normalize_aes_key": ("normalize_aes_key(text)", "text = AES_KEY_TEXT"),
    "normalize_unlock_key": ("normalize_unlock_key(text)", "text = '12345678'"),
    "decode_credential": ("decode_credential(text)", "text = CREDENTIAL"),
}
WARM_UP = 3


def loop(statement: str, setup: str):  # type: ignore[no-untyped-def]
    """A function running `statement` n times, compiled as timeit does."""
    # Imported here: the table above is read by tools that lack quovel.
    import quovel

    namespace = {name: getattr(quovel, name) for name in quovel.__all__ if not name.startswith("_")}
    namespace.update({k: v for k, v in globals().items() if k.isupper()})
    exec(setup, namespace)
    namespace["repeat"] = itertools.repeat
    source = f"def run(n):\n    for _ in repeat(None, n):\n        {statement}\n"
    exec(compile(source, "<probe>", "exec"), namespace)
    return namespace["run"]


def main(argv: list[str]) -> int:
    iterations = int(argv[0])
    runs = [loop(*PATHS[name]) for name in PATHS]
    for run in runs:
        run(WARM_UP)
    for run in runs:
        for n in (iterations, 2 * iterations):
            os.fspath("cut")
            run(n)
    os.fspath("cut")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
