"""Secrets kept in files readable by their owner only, and a wrapper that
keeps a key out of reprs, logs and ``vars()``."""

from __future__ import annotations

import hmac
import os
import stat


class SecretFileError(ValueError):
    """A secret file that cannot be used; the message names the path (and the
    mode), never the content."""


class Secret:
    """A key as text, shown as ``<redacted>`` everywhere; ``reveal()`` gives it."""

    __slots__ = ("_value",)

    def __init__(self, value: str) -> None:
        self._value = value

    def reveal(self) -> str:
        return self._value

    def __repr__(self) -> str:
        return "<redacted>"

    __str__ = __repr__

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Secret):
            return NotImplemented
        return hmac.compare_digest(self._value.encode(), other._value.encode())

    def __hash__(self) -> int:
        return hash(self._value)


# Readable by the group or by others.
_SHARED = stat.S_IRGRP | stat.S_IROTH


def _refuse_shared(path: str | os.PathLike[str], mode: int) -> None:
    if mode & _SHARED:
        raise SecretFileError(
            f"{os.fspath(path)} can be read by others (mode {stat.S_IMODE(mode):04o}): allow its owner only (chmod 600)"
        )


def check_owner_only(path: str | os.PathLike[str]) -> None:
    """Refuse a file that its group or others can read (a main configuration
    file that holds a key inline, say)."""
    try:
        mode = os.stat(path).st_mode
    except OSError as error:
        raise SecretFileError(f"cannot read {os.fspath(path)}: {error.strerror or error}") from None
    _refuse_shared(path, mode)


def read_secret_file(path: str | os.PathLike[str]) -> Secret:
    """The file's text without surrounding whitespace, if only its owner can
    read it and it is not empty."""
    try:
        # The mode is checked on the file that was opened, not on its name.
        with open(path, "rb") as file:
            mode = os.fstat(file.fileno()).st_mode
            if not stat.S_ISREG(mode):
                raise SecretFileError(f"{os.fspath(path)} is not a regular file")
            _refuse_shared(path, mode)
            data = file.read()
    except OSError as error:
        raise SecretFileError(f"cannot read {os.fspath(path)}: {error.strerror or error}") from None
    try:
        text = data.decode("utf-8").strip()
    except UnicodeDecodeError:
        # The decoder's message quotes a byte of the content.
        raise SecretFileError(f"{os.fspath(path)} is not UTF-8 text") from None
    if not text:
        raise SecretFileError(f"{os.fspath(path)} is empty")
    return Secret(text)
