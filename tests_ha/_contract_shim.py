"""Stand-ins for the driver and module interfaces until they land (removed then)."""

from __future__ import annotations

import asyncio
import dataclasses

from bleak.backends.device import BLEDevice

import quovel
import quovel_bleak
from quovel_bleak import errors


def install() -> None:
    if not hasattr(quovel, "ERROR_KINDS"):
        _module()
    if not hasattr(quovel_bleak, "OFFLINE_AFTER"):
        _driver()


def _module() -> None:
    prefixes = {
        "hex decode error": "hex_decode",
        "AES key must be exactly": "aes_key_length",
        "invalid unlock key": "invalid_unlock_key",
        "base64 decode error": "base64_decode",
        "UTF-8 decode error": "utf8_decode",
        "invalid credential byte": "protocol",
        "credential value does not fit": "credential_out_of_range",
        "command 0x": "command_refused",
        "AES decryption failed": "aes_decryption_failed",
    }
    quovel.QuovelError.kind = property(
        lambda e: next((k for p, k in prefixes.items() if str(e).startswith(p)), "other")
    )


def _driver() -> None:
    quovel_bleak.OFFLINE_AFTER = 300.0
    quovel_bleak.to_ms = lambda seconds: max(0, int(seconds * 1000))
    quovel_bleak.poll_availability = lambda tracker, now, offline_after=300.0: tracker.poll_availability(
        max(0, int(now * 1000)), int(offline_after * 1000)
    )
    quovel_bleak.is_lock_advertisement = lambda uuids, _data: quovel.SERVICE_UUID in [u.lower() for u in uuids]
    kinds = {
        errors.HandshakeRefused: ("handshake_refused", "aes_key"),
        errors.ActuationRefused: ("actuation_refused", "unlock_key"),
        errors.LockUnreachable: ("unreachable", None),
        errors.NoReply: ("no_reply", None),
        errors.LinkLost: ("link_lost", None),
        errors.BadReply: ("bad_reply", None),
    }
    errors.LockError.kind = property(lambda e: next(v[0] for k, v in kinds.items() if isinstance(e, k)))
    errors.LockError.suspect = property(lambda e: next(v[1] for k, v in kinds.items() if isinstance(e, k)))

    @dataclasses.dataclass(frozen=True, slots=True)
    class Timing(quovel_bleak.Timing):
        hold_link: float = 7.0
        call_deadline: float = 30.0

    base = quovel_bleak.LockClient

    class LockClient(base):
        def __init__(self, device, aes_key, unlock_key=None, **kwargs):
            self._placeholder = isinstance(device, str)
            kwargs.setdefault("timing", Timing())
            super().__init__(
                BLEDevice(device, None, {}) if self._placeholder else device, aes_key, unlock_key, **kwargs
            )

        @classmethod
        def from_service_info(cls, info, aes_key, unlock_key=None, **kwargs):
            return cls(info.device, aes_key, unlock_key, **kwargs)

        @property
        def timing(self):
            return self._timing

        def _fresh_device(self):
            if self._ble_device_callback is not None and (device := self._ble_device_callback()) is not None:
                self._device, self._placeholder = device, False
            if self._placeholder:
                raise quovel_bleak.LockUnreachable("the lock has not been heard")
            return self._device

        async def _bounded(self, call, deadline):
            try:
                async with asyncio.timeout(self._timing.call_deadline if deadline is None else deadline):
                    return await call()
            except TimeoutError as error:
                if isinstance(error, quovel_bleak.LockError):
                    raise
                raise quovel_bleak.LockUnreachable("the deadline passed") from error

        async def status(self, *, deadline=None):
            return await self._bounded(super().status, deadline)

        async def lock(self, *, deadline=None):
            return await self._bounded(super().lock, deadline)

        async def unlock(self, *, deadline=None):
            return await self._bounded(super().unlock, deadline)

        async def close(self):
            pass

        async def __aenter__(self):
            return self

        async def __aexit__(self, *exc):
            await self.close()

    quovel_bleak.Timing = Timing
    quovel_bleak.LockClient = LockClient
