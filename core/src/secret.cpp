#include "quovel/secret.hpp"

#include <openssl/crypto.h>
#include <cstdint>
#include <span>

namespace quovel {

void wipe(std::span<std::uint8_t> bytes) noexcept {
  if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
}

}  // namespace quovel
