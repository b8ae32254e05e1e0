#include "quovel/cipher.hpp"

#include <openssl/evp.h>
#include <openssl/types.h>

#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>

#include "quovel/bytes.hpp"
#include "quovel/errors.hpp"
#include "quovel/secret.hpp"

namespace quovel {
namespace {

// Fetched once: an implicit lookup per call would search the providers
// for every message. Never freed; it lives as long as the process.
const EVP_CIPHER* aes_128_cbc() {
  static EVP_CIPHER* const cipher = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
  return cipher;
}

// EVP takes int lengths; anything near INT_MAX is far beyond any payload.
constexpr std::size_t kMaxCipherInput = INT_MAX - kAesBlockSize;

CoreError encryption_failed() { return error::Protocol{"AES-128-CBC encryption failed"}; }

// Runs whole blocks through a context whose IV has just been re-armed and
// checks that the output has exactly the input's length. In place when
// `in` and `out` are the same bytes.
bool run_blocks(EVP_CIPHER_CTX* context, const std::uint8_t* in, std::uint8_t* out,
                std::size_t size) {
  int written = 0;
  if (EVP_CipherUpdate(context, out, &written, in, static_cast<int>(size)) != 1 ||
      static_cast<std::size_t>(written) != size) {
    return false;
  }
  // With padding off, finishing a whole number of blocks writes nothing;
  // the scratch block keeps a misbehaving library from writing past `out`.
  Secret<std::array<std::uint8_t, kAesBlockSize>> scratch;
  int tail = 0;
  return EVP_CipherFinal_ex(context, scratch.value().data(), &tail) == 1 && tail == 0;
}

// The number of PKCS#7 padding bytes at the end of `plain`, or 0 when the
// padding is malformed. `plain` is a non-empty whole number of blocks.
std::size_t padding_length(ByteView plain) {
  const std::uint8_t pad = plain.back();
  if (pad == 0 || pad > kAesBlockSize) return 0;
  for (std::size_t i = plain.size() - pad; i < plain.size(); ++i) {
    if (plain[i] != pad) return 0;
  }
  return pad;
}

}  // namespace

void PayloadCipher::ContextDeleter::operator()(evp_cipher_ctx_st* context) const {
  EVP_CIPHER_CTX_free(context);
}

Result<PayloadCipher> PayloadCipher::create(const AesKey& key) {
  const EVP_CIPHER* const cipher = aes_128_cbc();
  if (cipher == nullptr) return fail(encryption_failed());

  // The key schedule is computed here, once per direction; each message
  // then only re-arms the IV.
  const auto prepare = [&](int encrypting) -> Context {
    Context context(EVP_CIPHER_CTX_new());
    if (!context) return nullptr;
    const std::uint8_t* const bytes = key.bytes().data();
    if (EVP_CipherInit_ex2(context.get(), cipher, bytes, bytes, encrypting, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1) {
      return nullptr;
    }
    return context;
  };
  Context encrypt = prepare(1);
  Context decrypt = prepare(0);
  if (!encrypt || !decrypt) return fail(encryption_failed());
  return PayloadCipher(std::move(encrypt), std::move(decrypt), key);
}

PayloadCipher::PayloadCipher(Context encrypt, Context decrypt, AesKey key)
    : encrypt_(std::move(encrypt)), decrypt_(std::move(decrypt)), iv_(std::move(key)) {}

PayloadCipher::PayloadCipher(PayloadCipher&&) noexcept = default;
PayloadCipher& PayloadCipher::operator=(PayloadCipher&&) noexcept = default;
PayloadCipher::~PayloadCipher() = default;

Result<void> PayloadCipher::encrypt_into(ByteView plaintext, std::span<std::uint8_t> out) {
  const std::size_t size = plaintext.size();
  if (size > kMaxCipherInput || out.size() != ciphertext_size(size)) {
    return fail(encryption_failed());
  }
  if (size == 0) return {};
  if (!encrypt_) return fail(encryption_failed());

  // Pad in the output buffer and encrypt in place: no plaintext copy is
  // left behind anywhere else.
  std::memmove(out.data(), plaintext.data(), size);
  const auto pad = static_cast<std::uint8_t>(out.size() - size);
  std::memset(out.data() + size, pad, pad);

  if (EVP_CipherInit_ex2(encrypt_.get(), nullptr, nullptr, iv_.bytes().data(), 1, nullptr) != 1 ||
      !run_blocks(encrypt_.get(), out.data(), out.data(), out.size())) {
    wipe(out);
    return fail(encryption_failed());
  }
  return {};
}

Result<Bytes> PayloadCipher::encrypt(ByteView plaintext) {
  if (plaintext.size() > kMaxCipherInput) return fail(encryption_failed());
  Bytes ciphertext(ciphertext_size(plaintext.size()));
  if (auto done = encrypt_into(plaintext, ciphertext); !done) return fail(done.error());
  return ciphertext;
}

Result<Bytes> PayloadCipher::decrypt(ByteView ciphertext) {
  if (ciphertext.size() > kMaxCipherInput) return fail(error::AesDecryptionFailed{});
  Bytes plain(ciphertext.size());
  const auto size = decrypt_into(ciphertext, plain);
  if (!size) return fail(size.error());
  plain.resize(*size);  // shrinks in place
  return plain;
}

Result<std::size_t> PayloadCipher::decrypt_into(ByteView ciphertext, std::span<std::uint8_t> out) {
  const std::size_t size = ciphertext.size();
  if (size == 0) return 0;
  if (size % kAesBlockSize != 0 || size > kMaxCipherInput || out.size() < size || !decrypt_) {
    return fail(error::AesDecryptionFailed{});
  }

  const std::span<std::uint8_t> plain = out.first(size);
  if (EVP_CipherInit_ex2(decrypt_.get(), nullptr, nullptr, iv_.bytes().data(), 0, nullptr) != 1 ||
      !run_blocks(decrypt_.get(), ciphertext.data(), plain.data(), size)) {
    wipe(plain);
    return fail(error::AesDecryptionFailed{});
  }
  const std::size_t pad = padding_length(plain);
  if (pad == 0) {
    wipe(plain);
    return fail(error::AesDecryptionFailed{});
  }
  return size - pad;
}

Result<Bytes> encrypt_payload(ByteView plaintext, const AesKey& key) {
  auto cipher = PayloadCipher::create(key);
  if (!cipher) return fail(cipher.error());
  return cipher->encrypt(plaintext);
}

Result<Bytes> decrypt_payload(ByteView ciphertext, const AesKey& key) {
  auto cipher = PayloadCipher::create(key);
  if (!cipher) return fail(cipher.error());
  return cipher->decrypt(ciphertext);
}

}  // namespace quovel
