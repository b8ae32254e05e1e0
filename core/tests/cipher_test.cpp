#include "quovel/cipher.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "quovel/bytes.hpp"
#include "quovel/errors.hpp"
#include "quovel/hex.hpp"

namespace quovel {
namespace {

Bytes hex(std::string_view text) { return decode_hex(text).value(); }

AesKey key_from_hex(std::string_view text) {
  AesKey::Array bytes{};
  const Bytes decoded = hex(text);
  std::copy(decoded.begin(), decoded.end(), bytes.begin());
  return AesKey(bytes);
}

// The key of NIST SP 800-38A, F.2.1 (CBC-AES128).
const AesKey kNistKey = key_from_hex("2b7e151628aed2a6abf7158809cf4f3c");

TEST(PayloadCipherTest, MatchesNistCbcVectorThroughKeyAsIv) {
  // Our IV is the key, the vector's is 000102..0f. CBC only uses the IV by
  // XOR into the first block, so P1' = P1 ^ IV ^ key yields the published
  // ciphertext blocks; the fifth block is the full padding block.
  Bytes plain =
      hex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
          "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  for (std::size_t i = 0; i < kAesBlockSize; ++i) {
    plain[i] ^= static_cast<std::uint8_t>(i ^ kNistKey.bytes()[i]);
  }
  const Bytes expected =
      hex("7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
          "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7");

  auto cipher = PayloadCipher::create(kNistKey).value();
  const Bytes ciphertext = cipher.encrypt(plain).value();
  ASSERT_EQ(ciphertext.size(), 80u);
  EXPECT_EQ(Bytes(ciphertext.begin(), ciphertext.begin() + 64), expected);
  EXPECT_EQ(cipher.decrypt(ciphertext).value(), plain);
}

TEST(PayloadCipherTest, PaddedKnownAnswers) {
  // Computed with: openssl enc -aes-128-cbc -K <key> -iv <key> (PKCS#7 on).
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"abcdefg", "abb89106b42477509cddb4b5c07ecf1a"},
      {"0123456789abcdef", "bf5a67e009a1398091d572bc31d5d4d2c0ec6a6a644b9bdc30ffe3b05b221b72"},
  };
  auto cipher = PayloadCipher::create(kNistKey).value();
  for (const auto& [text, expected] : cases) {
    const ByteView plain(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    // Twice each: the IV must be re-armed for every message.
    for (int round = 0; round < 2; ++round) {
      EXPECT_EQ(cipher.encrypt(plain).value(), hex(expected)) << text;
      EXPECT_EQ(cipher.decrypt(hex(expected)).value(), Bytes(plain.begin(), plain.end()));
    }
    EXPECT_EQ(encrypt_payload(plain, kNistKey).value(), hex(expected));
  }
}

TEST(PayloadCipherTest, CiphertextSizesAndRoundTrips) {
  auto cipher = PayloadCipher::create(kNistKey).value();
  for (const std::size_t size : {0u, 1u, 15u, 16u, 17u, 239u, 240u}) {
    Bytes plain(size);
    for (std::size_t i = 0; i < size; ++i) plain[i] = static_cast<std::uint8_t>(i * 7);
    const Bytes ciphertext = cipher.encrypt(plain).value();
    EXPECT_EQ(ciphertext.size(), size == 0 ? 0 : (size / 16 + 1) * 16) << size;
    EXPECT_EQ(cipher.decrypt(ciphertext).value(), plain) << size;
  }
}

TEST(PayloadCipherTest, RejectsBadLengthAndBadPadding) {
  auto cipher = PayloadCipher::create(kNistKey).value();
  for (const std::size_t size : {1u, 8u, 15u, 17u, 31u}) {
    const auto result = cipher.decrypt(Bytes(size, 0x42));
    ASSERT_FALSE(result) << size;
    EXPECT_EQ(result.error().kind(), ErrorKind::AesDecryptionFailed);
  }

  // The first ciphertext block of a two-block message decrypts, alone, to
  // the first plaintext block, so its last bytes play the padding.
  struct Case {
    std::string_view block;
    std::optional<std::size_t> kept;
  };
  const Case cases[] = {
      {"000102030405060708090a0b0c0d0e01", 15},
      {"10101010101010101010101010101010", 0},
      {"000102030405060708090a0b0c0d0303", std::nullopt},  // third from last is not 03
      {"000102030405060708090a0b0c0d0e00", std::nullopt},
      {"000102030405060708090a0b0c0d0e11", std::nullopt},
      {"0f101010101010101010101010101010", std::nullopt},
  };
  for (const auto& [block, kept] : cases) {
    const Bytes plain = hex(block);
    Bytes first = cipher.encrypt(plain).value();
    first.resize(kAesBlockSize);
    const auto result = cipher.decrypt(first);
    if (kept) {
      ASSERT_TRUE(result) << block;
      EXPECT_EQ(*result, Bytes(plain.begin(), plain.begin() + static_cast<long>(*kept)));
    } else {
      ASSERT_FALSE(result) << block;
      EXPECT_EQ(result.error().kind(), ErrorKind::AesDecryptionFailed);
    }
  }
  // A failure leaves the cipher usable.
  EXPECT_EQ(cipher.decrypt(hex("abb89106b42477509cddb4b5c07ecf1a")).value().size(), 7u);
}

TEST(PayloadCipherTest, MovedCipherKeepsWorkingAndEmptyStaysEmpty) {
  auto original = PayloadCipher::create(kNistKey).value();
  PayloadCipher moved = std::move(original);
  EXPECT_EQ(moved.encrypt(ByteView{}).value(), Bytes{});
  EXPECT_EQ(moved.decrypt(ByteView{}).value(), Bytes{});
  // A moved-from cipher fails instead of touching a released context.
  const Bytes block(16, 1);
  EXPECT_FALSE(original.encrypt(block));  // NOLINT(bugprone-use-after-move)
  EXPECT_FALSE(original.decrypt(block));  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(decrypt_payload(hex("abb89106b42477509cddb4b5c07ecf1a"), kNistKey).value(),
            hex("61626364656667"));
}

}  // namespace
}  // namespace quovel
