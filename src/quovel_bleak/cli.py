"""``python -m quovel_bleak``: list the locks heard, or run one operation.

Keys come from a key file (``--key-file``, readable by its owner only), the
environment (``QUOVEL_AES_KEY``, ``QUOVEL_UNLOCK_KEY``) or a prompt, never
from the command line, where every user of the machine can read them; an
argument that could be a key is never echoed. Exit status: 0 done, 1 the
lock, the link or the scanner failed, 2 a bad key or bad usage.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import getpass
import os
import re
import sys
from collections.abc import Callable, Coroutine, Mapping, Sequence
from pathlib import Path
from typing import Any, NoReturn, TextIO, TypeAlias

from bleak import BleakScanner
from bleak.backends.client import BaseBleakClient
from bleak.backends.device import BLEDevice
from bleak.backends.scanner import AdvertisementData, BaseBleakScanner
from bleak.exc import BleakError

import quovel

from .client import LockClient
from .errors import LockError
from .helpers import is_lock_advertisement, normalize_address
from .keyfiles import SecretFileError, read_secret_file

AES_KEY_VARIABLE = "QUOVEL_AES_KEY"
UNLOCK_KEY_VARIABLE = "QUOVEL_UNLOCK_KEY"

Heard: TypeAlias = dict[str, tuple[BLEDevice, AdvertisementData]]
Runner: TypeAlias = Callable[[Coroutine[Any, Any, int]], int]


class UsageError(Exception):
    """Bad usage, with a message that repeats no argument."""


class _Parser(argparse.ArgumentParser):
    """argparse that raises instead of printing: its messages quote the
    arguments, and a stray argument may be a key."""

    def error(self, message: str) -> NoReturn:
        if message.startswith("unrecognized arguments"):
            raise UsageError("unexpected arguments (keys are never taken from arguments: see --help)")
        raise UsageError(re.sub(r"'[^']*'", "'...'", message))


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="python -m quovel_bleak",
        description="List the locks heard, or run one operation on a lock.",
        epilog=(
            f"Keys are read from --key-file (lines {AES_KEY_VARIABLE}=... and {UNLOCK_KEY_VARIABLE}=...; "
            f"readable by its owner only), from {AES_KEY_VARIABLE} and {UNLOCK_KEY_VARIABLE}, or asked for; "
            "never from arguments."
        ),
    )
    parser.add_argument("--timeout", type=float, default=10.0, help="seconds to listen for advertisements")
    parser.add_argument("--adapter", help="the Bluetooth adapter to use, e.g. hci1 (default: the system's)")
    parser.add_argument("--key-file", type=Path, help="a file holding the keys, readable by its owner only")
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("scan", help="list the locks heard (with ADDRESS: stop as soon as that lock is heard)")
    commands.choices["scan"].add_argument("address", nargs="?")
    for name in ("status", "lock", "unlock"):
        commands.add_parser(name, help=f"{name} one lock").add_argument("address")
    return parser


def main(
    argv: Sequence[str] | None = None,
    *,
    environ: Mapping[str, str] = os.environ,
    prompt: Callable[[str], str] = getpass.getpass,
    scanner_backend: type[BaseBleakScanner] | None = None,
    backend: type[BaseBleakClient] | None = None,
    run: Runner = asyncio.run,
    out: TextIO | None = None,
    err: TextIO | None = None,
) -> int:
    """Run the command line; the keyword arguments replace the radio, the
    environment and the terminal, for tests and embedding."""
    out = out or sys.stdout
    err = err or sys.stderr
    parser = _parser()
    try:
        args = parser.parse_args(argv)
    except UsageError as error:
        print(f"{parser.prog}: error: {error}", file=err)
        return 2
    except SystemExit as exit:  # --help
        return int(exit.code or 0)
    try:
        # What stands where the address belongs may be a key: never repeated unless it is an address.
        address = None if args.address is None else normalize_address(args.address)
    except ValueError as error:
        print(f"{parser.prog}: error: {error}", file=err)
        return 2
    scan = _Scan(args.timeout, args.adapter, scanner_backend)
    if args.command == "scan":
        return run(_guarded(_list(scan, address, out), err))
    try:
        keys = _key_file(args.key_file) if args.key_file is not None else {}
        aes_key = quovel.normalize_aes_key(_secret(keys, environ, prompt, AES_KEY_VARIABLE, "AES key: "))
        unlock_key = (
            quovel.normalize_unlock_key(_secret(keys, environ, prompt, UNLOCK_KEY_VARIABLE, "Unlock key: "))
            if args.command != "status"
            else None
        )
    except (quovel.QuovelError, UsageError) as error:
        print(f"error: {error}", file=err)
        return 2
    assert address is not None
    return run(_guarded(_operate(args.command, address, scan, aes_key, unlock_key, backend, out, err), err))


def _key_file(path: Path) -> dict[str, str]:
    try:
        text = read_secret_file(path).reveal()
    except SecretFileError as error:
        raise UsageError(str(error)) from None
    keys = {}
    for number, line in enumerate(text.splitlines(), 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        name, equals, value = line.partition("=")
        if not equals or name.strip() not in (AES_KEY_VARIABLE, UNLOCK_KEY_VARIABLE):
            # The line is not repeated: it may hold a key.
            raise UsageError(f"{path}, line {number}: expected {AES_KEY_VARIABLE}=... or {UNLOCK_KEY_VARIABLE}=...")
        keys[name.strip()] = value.strip()
    return keys


def _secret(
    keys: Mapping[str, str], environ: Mapping[str, str], prompt: Callable[[str], str], variable: str, question: str
) -> str:
    value = keys.get(variable, environ.get(variable))
    return value if value is not None else prompt(question)


class _Scan:
    """Listening for advertisements, with the options given."""

    def __init__(self, timeout: float, adapter: str | None, backend: type[BaseBleakScanner] | None) -> None:
        self.timeout = timeout
        self._options: dict[str, Any] = {}
        if adapter is not None:
            self._options["bluez"] = {"adapter": adapter}
        if backend is not None:
            self._options["backend"] = backend

    async def __call__(self, wanted: str | None) -> Heard:
        """What was heard within the timeout, or until the lock ``wanted`` was heard."""
        heard: Heard = {}
        found = asyncio.Event()

        def on_advertisement(device: BLEDevice, advertisement: AdvertisementData) -> None:
            address = _spelled(device.address)
            heard[address] = (device, advertisement)
            if address == wanted and is_lock_advertisement(
                advertisement.service_uuids, advertisement.manufacturer_data
            ):
                found.set()

        async with BleakScanner(on_advertisement, **self._options):
            with contextlib.suppress(TimeoutError):
                async with asyncio.timeout(self.timeout):
                    await found.wait()
        return heard


async def _guarded(work: Coroutine[Any, Any, int], err: TextIO) -> int:
    try:
        return await work
    except (BleakError, OSError) as error:
        # No adapter, no permission, BlueZ not running.
        print(f"error: the Bluetooth scanner failed: {error or type(error).__name__}", file=err)
        return 1


async def _list(scan: _Scan, wanted: str | None, out: TextIO) -> int:
    heard = await scan(wanted)
    found = 0
    for device, advertisement in sorted(heard.values(), key=lambda pair: pair[0].address):
        if wanted is not None and _spelled(device.address) != wanted:
            continue
        if not is_lock_advertisement(advertisement.service_uuids, advertisement.manufacturer_data):
            continue
        chosen = quovel.select_advertisement(advertisement.manufacturer_data, device.address)
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
    scan: _Scan,
    aes_key: str,
    unlock_key: int | None,
    backend: type[BaseBleakClient] | None,
    out: TextIO,
    err: TextIO,
) -> int:
    heard = await scan(address)
    match = heard.get(address)
    if match is None:
        print(f"error: {address} was not heard within {scan.timeout} s", file=err)
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
    async with client:
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


def _spelled(address: str) -> str:
    try:
        return normalize_address(address)
    except ValueError:
        return address.upper()


def _state(is_unlocked: bool | None) -> str:
    return "unknown" if is_unlocked is None else "unlocked" if is_unlocked else "locked"


def _battery(level: int | None) -> str:
    return "unknown" if level is None else f"{level}%"


def _version(version: quovel.LockVersion | None) -> str:
    if version is None:
        return "unknown"
    return f"{version.protocol_type}.{version.protocol_version}"
