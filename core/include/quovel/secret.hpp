// Wiping secrets from memory in a way the optimiser may not remove.
#pragma once

#include <cstdint>
#include <span>

#include "quovel/bytes.hpp"

namespace quovel {

void wipe(std::span<std::uint8_t> secret);

// A byte buffer that is wiped when it goes, for copies of key material.
class SecretBytes {
 public:
  explicit SecretBytes(Bytes bytes) : bytes_(std::move(bytes)) {}
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  ~SecretBytes() { wipe(bytes_); }

  ByteView view() const { return bytes_; }

 private:
  Bytes bytes_;
};

}  // namespace quovel
