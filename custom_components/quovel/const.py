"""Constants of the quovel integration."""

from __future__ import annotations

from typing import Final

DOMAIN: Final = "quovel"

CONF_AES_KEY: Final = "aes_key"
CONF_UNLOCK_KEY: Final = "unlock_key"
CONF_CREDENTIAL: Final = "credential"
CONF_HOLD_LINK: Final = "hold_link"
# Passed with a reauthentication: which key the lock refused.
CONF_SUSPECT: Final = "suspect"

# Checking the AES key in the config flow: an unreachable lock answers
# "cannot connect" within this many seconds.
CHECK_DEADLINE: Final = 15.0
# Seconds between availability checks against Home Assistant's last service info.
AVAILABILITY_INTERVAL: Final = 60.0
