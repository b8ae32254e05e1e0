"""A simulated lock for testing code that drives locks of this platform.

Pure Python; its cipher comes from the ``cryptography`` package. It plays the
lock's side of each exchange (reassembly, CRC and header checks, decryption,
the status query, the check-user-time handshake, lock and unlock), broadcasts
manufacturer data as bleak delivers it, and can misbehave on request
(:class:`Faults`).

``quovel_sim.bleak_backend`` (needs ``bleak``) puts simulated locks behind a
real bleak backend, with link faults: the way to test code that drives locks
through bleak, bleak-retry-connector or habluetooth. :class:`VirtualTimeLoop`
runs such tests without waiting for timeouts and back-offs.
"""

from .advertising import DFU_COMPANY_IDS, DIRECT_COMPANY_ID, STALE_COMPANY_ID
from .gatt import NOTIFY_CHARACTERISTIC, SERVICE_UUID, WRITE_CHARACTERISTIC
from .lock import ActuationRecord, Faults, SimulatedLock
from .virtual_time import VirtualTimeLoop
from .wire import ProtocolHeader

__all__ = [
    "ActuationRecord",
    "DFU_COMPANY_IDS",
    "DIRECT_COMPANY_ID",
    "Faults",
    "NOTIFY_CHARACTERISTIC",
    "ProtocolHeader",
    "SERVICE_UUID",
    "STALE_COMPANY_ID",
    "VirtualTimeLoop",
    "SimulatedLock",
    "WRITE_CHARACTERISTIC",
]
