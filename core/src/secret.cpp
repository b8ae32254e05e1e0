#include "quovel/secret.hpp"

#include <openssl/crypto.h>

namespace quovel {

void wipe(std::span<std::uint8_t> secret) { OPENSSL_cleanse(secret.data(), secret.size()); }

}  // namespace quovel
