// Payload encryption: AES-128-CBC with PKCS#7 padding, the key doubling as
// the IV (the lock's choice, not ours). OpenSSL's EVP interface does the work.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "quovel/bytes.hpp"
#include "quovel/errors.hpp"
#include "quovel/secret.hpp"

struct evp_cipher_ctx_st;

namespace quovel {

inline constexpr std::size_t kAesKeySize = 16;
inline constexpr std::size_t kAesBlockSize = 16;

// A 16-byte AES key. Wiped from memory when destroyed or moved from.
class AesKey {
 public:
  using Array = std::array<std::uint8_t, kAesKeySize>;

  explicit AesKey(const Array& bytes) : bytes_(bytes) {}
  explicit AesKey(Secret<Array>&& bytes) : bytes_(std::move(bytes)) {}

  const Array& bytes() const { return bytes_.value(); }

 private:
  Secret<Array> bytes_;
};

// Ciphertext length for a plaintext of `plaintext_size` bytes: empty stays
// empty, anything else is padded up to and including one extra block.
constexpr std::size_t ciphertext_size(std::size_t plaintext_size) {
  return plaintext_size == 0 ? 0 : kAesBlockSize * (plaintext_size / kAesBlockSize + 1);
}

// Holds the key schedule for one key so that repeated messages skip it.
// Move-only; the contexts are released (and wiped by OpenSSL) with it.
class PayloadCipher {
 public:
  // Fails only if libcrypto cannot provide AES-128-CBC or allocate a context.
  static Result<PayloadCipher> create(const AesKey& key);

  PayloadCipher(PayloadCipher&&) noexcept;
  PayloadCipher& operator=(PayloadCipher&&) noexcept;
  ~PayloadCipher();

  // Deterministic: the same key and plaintext always give the same bytes.
  Result<Bytes> encrypt(ByteView plaintext);

  // As encrypt, but writes into `out`, which must be exactly
  // ciphertext_size(plaintext.size()) bytes: lets a packet hold its
  // ciphertext without a second buffer.
  Result<void> encrypt_into(ByteView plaintext, std::span<std::uint8_t> out);

  // Fails with AesDecryptionFailed when the length is not a whole number of
  // blocks or the PKCS#7 padding is wrong. Empty input gives empty output.
  Result<Bytes> decrypt(ByteView ciphertext);

  // As decrypt, but into `out` (at least ciphertext.size() bytes), giving
  // the plaintext's length: replies are decrypted without a heap buffer.
  // On failure `out` is wiped.
  Result<std::size_t> decrypt_into(ByteView ciphertext, std::span<std::uint8_t> out);

 private:
  struct ContextDeleter {
    void operator()(evp_cipher_ctx_st* context) const;
  };
  using Context = std::unique_ptr<evp_cipher_ctx_st, ContextDeleter>;

  PayloadCipher(Context encrypt, Context decrypt, AesKey key);

  Context encrypt_;
  Context decrypt_;
  AesKey iv_;
};

// One-shot forms, for callers that hold no PayloadCipher.
Result<Bytes> encrypt_payload(ByteView plaintext, const AesKey& key);
Result<Bytes> decrypt_payload(ByteView ciphertext, const AesKey& key);

}  // namespace quovel
