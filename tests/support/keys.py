"""The keys and address of the tests' simulated locks, written once for every suite."""

# The lock the driver's, the integration's and the bridge's tests talk to.
AES_KEY = bytes.fromhex("8e73b0f7da0e6452c810f32b809079e5")
AES_KEY_HEX = AES_KEY.hex()
UNLOCK_KEY = 2718281828
ADDRESS = "C4:3A:51:0B:7E:19"

# The simulator's own example lock, which the binding's operations are run against.
SIM_AES_KEY = bytes.fromhex("2b7e151628aed2a6abf7158809cf4f3c")
SIM_AES_KEY_HEX = SIM_AES_KEY.hex()
SIM_UNLOCK_KEY = 305419896
