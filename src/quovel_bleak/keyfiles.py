"""Secrets kept in files readable by their owner only, and a wrapper that
keeps a key out of reprs, logs and ``vars()``."""

from __future__ import annotations

import hmac
import os
import stat
import struct


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
# A POSIX access ACL as Linux stores it: a version, then (tag, permissions, id) entries.
_ACL_XATTR = "system.posix_acl_access"
_ACL_VERSION = 2
_ACL_ENTRY = struct.Struct("<HHI")
_ACL_USER, _ACL_GROUP_OBJ, _ACL_GROUP = 0x02, 0x04, 0x08
_ACL_READ = 0x04


def _shared(file: int | str | os.PathLike[str], mode: int) -> bool:
    if not mode & _SHARED:
        return False
    if mode & stat.S_IROTH:
        return True
    # With an ACL the group bits are its mask, not the group's. systemd hands a
    # service its credentials so: 0400, plus read for the service's own user.
    try:
        acl = os.getxattr(file, _ACL_XATTR)
    except (OSError, AttributeError):
        return True
    if len(acl) < 4 or (len(acl) - 4) % _ACL_ENTRY.size or int.from_bytes(acl[:4], "little") != _ACL_VERSION:
        return True
    for tag, permissions, uid in _ACL_ENTRY.iter_unpack(acl[4:]):
        if not permissions & _ACL_READ:
            continue
        if tag in (_ACL_GROUP_OBJ, _ACL_GROUP) or (tag == _ACL_USER and uid != os.geteuid()):
            return True
    return False


def _refuse_shared(file: int | str | os.PathLike[str], path: str | os.PathLike[str], mode: int) -> None:
    if _shared(file, mode):
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
    _refuse_shared(path, path, mode)


def read_secret_file(path: str | os.PathLike[str]) -> Secret:
    """The file's text without surrounding whitespace, if only its owner can
    read it and it is not empty."""
    try:
        # The mode is checked on the file that was opened, not on its name.
        with open(path, "rb") as file:
            mode = os.fstat(file.fileno()).st_mode
            if not stat.S_ISREG(mode):
                raise SecretFileError(f"{os.fspath(path)} is not a regular file")
            _refuse_shared(file.fileno(), path, mode)
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
