"""``python -m quovel_bleak``: list the locks heard, or run one operation.

Keys come from the environment (``QUOVEL_AES_KEY``, ``QUOVEL_UNLOCK_KEY``)
or a prompt, never from the command line, where every user of the machine
can read them. Exit status: 0 done, 1 the lock or the link failed, 2 a bad
key or bad usage.
"""

from __future__ import annotations

import argparse
import asyncio
import getpass
import os
import sys
from collections.abc import Awaitable, Callable, Coroutine, Mapping, Sequence
from typing import Any, TextIO, TypeAlias

from bleak import BleakScanner
from bleak.backends.client import BaseBleakClient
from bleak.backends.device import BLEDevice
from bleak.backends.scanner import AdvertisementData

import quovel

from .client import LockClient
from .errors import LockError

AES_KEY_VARIABLE = "QUOVEL_AES_KEY"
UNLOCK_KEY_VARIABLE = "QUOVEL_UNLOCK_KEY"

Heard: TypeAlias = dict[str, tuple[BLEDevice, AdvertisementData]]
Discover: TypeAlias = Callable[[float], Awaitable[Heard]]
Runner: TypeAlias = Callable[[Coroutine[Any, Any, int]], int]


async def _discover(timeout: float) -> Heard:
    return await BleakScanner.discover(timeout=timeout, return_adv=True)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m quovel_bleak",
        description="List the locks heard, or run one operation on a lock.",
        epilog=f"Keys are read from {AES_KEY_VARIABLE} and {UNLOCK_KEY_VARIABLE}, or asked for; never from arguments.",
    )
    parser.add_argument("--timeout", type=float, default=10.0, help="seconds to listen for advertisements")
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("scan", help="list the locks heard")
    for name in ("status", "lock", "unlock"):
        commands.add_parser(name, help=f"{name} one lock").add_argument("address")
    return parser


def main(
    argv: Sequence[str] | None = None,
    *,
    environ: Mapping[str, str] = os.environ,
    prompt: Callable[[str], str] = getpass.getpass,
    discover: Discover = _discover,
    backend: type[BaseBleakClient] | None = None,
    run: Runner = asyncio.run,
    out: TextIO | None = None,
    err: TextIO | None = None,
) -> int:
    """Run the command line; the keyword arguments replace the radio, the
    environment and the terminal, for tests and embedding."""
    out = out or sys.stdout
    err = err or sys.stderr
    try:
        args = _parser().parse_args(argv)
    except SystemExit as exit:
        return int(exit.code or 0)
    if args.command == "scan":
        return run(_scan(args.timeout, discover, out))
    try:
        aes_key = quovel.normalize_aes_key(_secret(environ, prompt, AES_KEY_VARIABLE, "AES key: "))
        unlock_key = (
            quovel.normalize_unlock_key(_secret(environ, prompt, UNLOCK_KEY_VARIABLE, "Unlock key: "))
            if args.command != "status"
            else None
        )
    except quovel.QuovelError as error:
        print(f"error: {error}", file=err)
        return 2
    return run(_operate(args.command, args.address, args.timeout, aes_key, unlock_key, discover, backend, out, err))


def _secret(environ: Mapping[str, str], prompt: Callable[[str], str], variable: str, question: str) -> str:
    value = environ.get(variable)
    return value if value is not None else prompt(question)


async def _scan(timeout: float, discover: Discover, out: TextIO) -> int:
    heard = await discover(timeout)
    found = 0
    for device, advertisement in sorted(heard.values(), key=lambda pair: pair[0].address):
        if not advertisement.manufacturer_data:
            continue
        chosen = quovel.select_advertisement(advertisement.manufacturer_data, device.address)
        if chosen.kind == "unrecognized":
            continue
        found += 1
        print(
            f"{device.address}  kind={chosen.kind}  state={_state(chosen.is_unlocked)}  "
            f"battery={_battery(chosen.battery)}  version={_version(chosen.lock_version)}",
            file=out,
        )
    if not found:
        print("no lock heard", file=out)
    return 0


async def _operate(
    command: str,
    address: str,
    timeout: float,
    aes_key: str,
    unlock_key: int | None,
    discover: Discover,
    backend: type[BaseBleakClient] | None,
    out: TextIO,
    err: TextIO,
) -> int:
    heard = await discover(timeout)
    match = next((pair for pair in heard.values() if pair[0].address.upper() == address.upper()), None)
    if match is None:
        print(f"error: {address} was not heard within {timeout} s", file=err)
        return 1
    device, advertisement = match
    tracker = quovel.LockTracker()
    loop = asyncio.get_running_loop()
    tracker.on_advertisement(
        int(loop.time() * 1000), quovel.select_advertisement(advertisement.manufacturer_data, address)
    )
    client = LockClient(
        device,
        aes_key,
        unlock_key,
        tracker=tracker,
        on_change=lambda changes: print(f"tracker: {tracker.reported_state}", file=out),
        backend=backend,
    )
    try:
        if command == "status":
            print(await client.status(), file=out)
        elif command == "lock":
            await client.lock()
        else:
            await client.unlock()
    except LockError as error:
        print(f"error: {type(error).__name__}: {error}", file=err)
        return 1
    return 0


def _state(is_unlocked: bool | None) -> str:
    return "unknown" if is_unlocked is None else "unlocked" if is_unlocked else "locked"


def _battery(level: int | None) -> str:
    return "unknown" if level is None else f"{level}%"


def _version(version: quovel.LockVersion | None) -> str:
    if version is None:
        return "unknown"
    return f"{version.protocol_type}.{version.protocol_version}"
