#include "crypto/key_derivation.h"

#include <gtest/gtest.h>

#include <string>

#include "crypto/cipher_error.h"
#include "crypto_test_util.h"

namespace tolvo {
namespace {

using test::fromHex;

struct HkdfVector {
  const char* name;
  const char* ikm;
  const char* salt;
  const char* info;
  std::size_t length;
  const char* okm;
};

// RFC 5869 appendix A, test cases 1-3 (SHA-256).
const HkdfVector kHkdfVectors[] = {
    {"A.1", "0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b", "000102030405060708090a0b0c", "f0f1f2f3f4f5f6f7f8f9", 42,
     "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"},
    {"A.2",
     "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f202122232425262728292a2b2c2d2e2f"
     "303132333435363738393a3b3c3d3e3f404142434445464748494a4b4c4d4e4f",
     "606162636465666768696a6b6c6d6e6f707172737475767778797a7b7c7d7e7f808182838485868788898a8b8c8d8e8f"
     "909192939495969798999a9b9c9d9e9fa0a1a2a3a4a5a6a7a8a9aaabacadaeaf",
     "b0b1b2b3b4b5b6b7b8b9babbbcbdbebfc0c1c2c3c4c5c6c7c8c9cacbcccdcecfd0d1d2d3d4d5d6d7d8d9dadbdcdddedf"
     "e0e1e2e3e4e5e6e7e8e9eaebecedeeeff0f1f2f3f4f5f6f7f8f9fafbfcfdfeff",
     82,
     "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac7827271cb41c65e590e09"
     "da3275600c2f09b8367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f1d87"},
    {"A.3", "0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b", "", "", 42,
     "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"},
};

TEST(HkdfSha256Test, Rfc5869Vectors) {
  for (const HkdfVector& v : kHkdfVectors) {
    const SecureBytes okm = KeyDerivation::hkdfSha256(fromHex(v.ikm), fromHex(v.salt), fromHex(v.info), v.length);
    EXPECT_EQ(okm.bytes(), fromHex(v.okm)) << v.name;
  }
}

TEST(HkdfSha256Test, OutputLengthLimits) {
  const Bytes ikm(32, 7);
  EXPECT_EQ(KeyDerivation::hkdfSha256(ikm, {}, {}, 255 * 32).size(), 255u * 32u);
  for (std::size_t length : {std::size_t{0}, std::size_t{255 * 32 + 1}}) {
    EXPECT_EQ(test::errorCode<CipherError>([&] { (void)KeyDerivation::hkdfSha256(ikm, {}, {}, length); }),
              CipherError::Code::invalidInput)
        << length;
  }
}

struct Pbkdf2Vector {
  const char* name;
  std::string password;
  std::string salt;
  std::uint32_t iterations;
  const char* key;  // empty: no key comes out
};

const Pbkdf2Vector kPbkdf2Vectors[] = {
    // RFC 7914 section 11.
    {"rfc7914-1", "passwd", "salt", 1,
     "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
     "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783"},
    {"rfc7914-2", "Password", "NaCl", 80000,
     "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"
     "a1d425a1225833549adb841b51c9b3176a272bdebba1d078478f62b397f33c8d"},
    // The widely published PBKDF2-HMAC-SHA256 "password"/"salt" vectors, 32 bytes.
    {"password-1", "password", "salt", 1, "120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b"},
    {"password-2", "password", "salt", 2, "ae4d0c95af6b46d32d0adff928f06dd02a303f8ef3c251dfd6e2d85a95474c43"},
    {"password-4096", "password", "salt", 4096, "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a"},
    // Values from Python's hashlib.pbkdf2_hmac.
    {"empty password and salt", "", "", 1, "f7ce0b653d2d72a4108cf5abe912ffdd777616dbbb27a70e8204f3ae2d0f6fad"},
    {"raw UTF-8 password, zero salt", "p\xc3\xa4ssword", std::string(32, '\0'), 3,
     "d3453abcf7fe2af7fbc2574d00b9cf55041e121713a46e8414c9576922878bdd"},
    {"zero iterations", "password", "salt", 0, ""},
};

TEST(Pbkdf2HmacSha256Test, PublishedVectors) {
  for (const Pbkdf2Vector& v : kPbkdf2Vectors) {
    const Bytes expected = fromHex(v.key);
    const auto key = KeyDerivation::pbkdf2HmacSha256(asBytes(v.password), asBytes(v.salt), v.iterations,
                                                     expected.empty() ? 32 : expected.size());
    if (expected.empty()) {
      EXPECT_FALSE(key.has_value()) << v.name;
    } else {
      ASSERT_TRUE(key.has_value()) << v.name;
      EXPECT_EQ(key->bytes(), expected) << v.name;
    }
  }
}

}  // namespace
}  // namespace tolvo
