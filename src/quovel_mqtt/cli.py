"""``quovel-mqtt --config FILE``: the bridge as a process.

Exit status: 0 after SIGTERM or SIGINT, 2 for a bad configuration (one line
on stderr naming the file, the field and the fault), 1 when the bridge
itself fails.
"""

from __future__ import annotations

import argparse
import asyncio
import logging
import signal
import sys

from .bridge import Bridge, load_bluetooth
from .config import ConfigError, load

_LEVELS = ("debug", "info", "warning", "error")


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quovel-mqtt", description="Bridges Bluetooth locks to MQTT, with Home Assistant discovery."
    )
    parser.add_argument("--config", required=True, metavar="FILE", help="the TOML configuration file")
    parser.add_argument("--check", action="store_true", help="validate the configuration and exit")
    parser.add_argument("--log-level", choices=_LEVELS, default="info")
    return parser


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        config = load(args.config)
    except ConfigError as error:
        print(f"quovel-mqtt: {error}", file=sys.stderr)
        return 2
    try:
        bluetooth = load_bluetooth(config.simulation)
    except Exception as error:
        print(f"quovel-mqtt: {config.file}: simulation.backend: cannot load it: {error}", file=sys.stderr)
        return 2
    if args.check:
        print(f"{config.file}: {len(config.locks)} locks, broker {config.broker.host}:{config.broker.port}")
        return 0
    logging.basicConfig(level=args.log_level.upper(), format="%(levelname)s %(name)s: %(message)s", stream=sys.stderr)

    async def run() -> None:
        stop = asyncio.Event()
        loop = asyncio.get_running_loop()
        for signum in (signal.SIGTERM, signal.SIGINT):
            loop.add_signal_handler(signum, stop.set)
        await Bridge(config, bluetooth).run(stop)

    try:
        asyncio.run(run())
    except Exception:
        logging.getLogger("quovel_mqtt").exception("the bridge failed")
        return 1
    return 0
