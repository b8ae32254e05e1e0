"""Owner-only secret files that carry a POSIX ACL, as systemd hands a service
its credentials: the group bits then show the ACL's mask, not a group."""

from __future__ import annotations

import os
import struct

import pytest

import quovel_bleak as qb

USER_OBJ, USER, GROUP_OBJ, GROUP, MASK, OTHER = 0x01, 0x02, 0x04, 0x08, 0x10, 0x20
R, NONE, ANY = 4, 0, 0xFFFFFFFF


def with_acl(path, *entries):
    """``path`` at 0400 with an access ACL granting read to ``entries`` (tag, id)."""
    path.write_text("8e73b0f7da0e6452c810f32b809079e5\n")
    path.chmod(0o400)
    listed = [(USER_OBJ, R, ANY), *entries, (MASK, R, ANY), (OTHER, NONE, ANY)]
    if not any(tag == GROUP_OBJ for tag, _, _ in entries):
        listed.append((GROUP_OBJ, NONE, ANY))
    listed.sort(key=lambda entry: (entry[0], entry[2]))
    acl = struct.pack("<I", 2) + b"".join(struct.pack("<HHI", *entry) for entry in listed)
    try:
        os.setxattr(path, "system.posix_acl_access", acl)
    except (OSError, AttributeError) as error:
        pytest.skip(f"no POSIX ACLs here: {error}")
    assert os.stat(path).st_mode & 0o777 == 0o440
    return path


@pytest.mark.parametrize(
    ("entries", "shared"),
    [
        # The service's own user, as systemd's LoadCredential= grants it.
        ([(USER, R, os.geteuid())], False),
        ([(USER, R, os.geteuid() + 1)], True),
        ([(GROUP_OBJ, R, ANY)], True),
        ([(GROUP, R, 4242)], True),
    ],
)
def test_an_acl_shares_a_secret_file_only_by_its_entries(tmp_path, entries, shared):
    path = with_acl(tmp_path / "key", *entries)
    for check in (qb.read_secret_file, qb.check_owner_only):
        if shared:
            with pytest.raises(qb.SecretFileError, match=r"can be read by others \(mode 0440\)"):
                check(path)
        else:
            check(path)
