#include "crypto/encryption_utilities.h"

#include <gmock/gmock.h>

#include <atomic>
#include <new>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "crypto/cipher_error.h"
#include "crypto/key_derivation.h"
#include "crypto/key_manager.h"
#include "crypto/symmetric_key.h"
#include "crypto_test_util.h"

namespace tolvo {
namespace {

namespace EU = EncryptionUtilities;
using test::errorText;
using test::fromHex;
using Code = CipherError::Code;

constexpr const char* kAuthFailed = "Authentication failed: wrong key or altered data";

// Expects `call` to raise a CipherError with this code.
#define EXPECT_CIPHER_ERROR(call, kind) \
  EXPECT_THAT([&] { call; }, testing::Throws<CipherError>(testing::Property(&CipherError::code, Code::kind)))

// McGrew & Viega, "The Galois/Counter Mode of Operation", test cases 13-16 (AES-256, 96-bit IV);
// cases 15 and 16 share the key, the IV and the first 60 bytes of plaintext and ciphertext.
const std::string kZeros(64, '0'), kKey = "feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308";
const std::string kPlain =
    "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657"
    "ba637b391aafd255";
const std::string kCipher =
    "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0a"
    "bcc9f662898015ad";
const struct {
  std::string name, key, nonce, plaintext, aad, ciphertext, tag;
} kGcmVectors[] = {
    {"case13", kZeros, kZeros.substr(0, 24), "", "", "", "530f8afbc74536b9a963b4f1c4cb738b"},
    {"case14", kZeros, kZeros.substr(0, 24), kZeros.substr(0, 32), "", "cea7403d4d606b6e074ec5d3baf39d18",
     "d0d1c8a799996bf0265b98b5d48ab919"},
    {"case15", kKey, "cafebabefacedbaddecaf888", kPlain, "", kCipher, "b094dac5d93471bdec1a502270e3cc6c"},
    {"case16", kKey, "cafebabefacedbaddecaf888", kPlain.substr(0, 120), "feedfacedeadbeeffeedfacedeadbeefabaddad2",
     kCipher.substr(0, 120), "76fc6ece0f4e1768cddf8853bb2d551b"},
};

// A page's nonce and AAD end in its little-endian index; sealing and opening match the vectors.
TEST(PageSealingTest, NonceAADAndGcmMatchKnownAnswers) {
  const Bytes base = fromHex("0102030405060708");
  EXPECT_EQ(EU::createPageNonce(base, 0xA1B2C3D4u), fromHex("0102030405060708 d4c3b2a1"));
  EXPECT_EQ(EU::createPageAAD("abc", 258), fromHex("616263 02010000"));
  EXPECT_EQ(EU::createPageAAD("\xc3\xa9", 0x01020304), fromHex("c3a9 04030201"));  // UTF-8 bytes as they are
  for (std::size_t size : {7, 12}) EXPECT_CIPHER_ERROR((void)EU::createPageNonce(Bytes(size, 0x55), 1), invalidInput);
  for (const auto& v : kGcmVectors) {
    const SymmetricKey key(fromHex(v.key));
    const Bytes nonce = fromHex(v.nonce), aad = fromHex(v.aad);
    SCOPED_TRACE(v.name);
    EXPECT_EQ(EU::encryptPage(fromHex(v.plaintext), key, nonce, aad).serialized(), fromHex(v.ciphertext + v.tag));
    EXPECT_EQ(EU::decryptPage(fromHex(v.ciphertext), fromHex(v.tag), key, nonce, aad), fromHex(v.plaintext));
  }
}

// The tag covers every sealed bit, also of an empty page (whose tag still binds the AAD). A
// sealed blob is nonce, ciphertext and tag, with a fresh nonce each time; malformed nonces,
// tags, pages and blobs are refused.
TEST(PageSealingTest, EveryAlteredBitFailsAuthenticationAndMalformedInputIsRefused) {
  const SymmetricKey key = SymmetricKey::random();
  const Bytes nonce = EU::createPageNonce(fromHex("1122334455667788"), 5);
  const Bytes aad = EU::createPageAAD("chunk-a", 5);
  for (const Bytes& plaintext : {Bytes{}, toBytes("page plaintext that is not very long")}) {
    const EncryptedPage page = EU::encryptPage(plaintext, key, nonce, aad);
    EXPECT_EQ(EU::decryptPage(page.ciphertext, page.tag, key, nonce, aad), plaintext);
    const Bytes sealed = page.serialized();
    for (std::size_t bit = 0; bit < sealed.size() * 8; ++bit) {
      Bytes altered = sealed;
      altered[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
      const ByteView ct = ByteView(altered).first(plaintext.size()), tag = ByteView(altered).subspan(plaintext.size());
      EXPECT_EQ(errorText([&] { (void)EU::decryptPage(ct, tag, key, nonce, aad); }), kAuthFailed) << "bit " << bit;
    }
  }

  const Bytes plaintext = toBytes("thirty-two bytes of master key!!");
  const Bytes sealed = EU::encrypt(plaintext, key);
  ASSERT_EQ(sealed.size(), 12u + 32u + 16u);
  const ByteView view(sealed);  // opened independently of decrypt()
  EXPECT_EQ(EU::decryptPage(view.subspan(12, 32), view.subspan(44, 16), key, view.first(12), {}), plaintext);
  EXPECT_NE(EU::encrypt(plaintext, key), sealed);
  EXPECT_TRUE(EU::decrypt(EU::encrypt({}, key), key).empty());
  for (std::size_t i : {std::size_t{0}, std::size_t{12}, sealed.size() - 1}) {  // nonce, ciphertext, tag
    Bytes altered = sealed;
    altered[i] ^= 0x80;
    EXPECT_CIPHER_ERROR((void)EU::decrypt(altered, key), authenticationFailure) << i;
  }
  const Bytes data(21, 7);
  EXPECT_CIPHER_ERROR((void)EU::encryptPage(data, key, Bytes(11), {}), invalidInput);
  EXPECT_CIPHER_ERROR((void)EU::decryptPage(data, Bytes(15), key, Bytes(12), {}), invalidInput);
  EXPECT_CIPHER_ERROR((void)EU::decrypt(Bytes(27, 0), key), invalidInput);
  EXPECT_EQ(EncryptedPage::fromData(data, 5).tag, Bytes(16, 7));
  EXPECT_EQ(errorText([&] { (void)EncryptedPage::fromData(data, 6); }), "Invalid encrypted page");
}

TEST(RandomTest, UUIDsAreVersion4UpperCaseAndDistinct) {
  const std::regex form("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(std::regex_match(*seen.insert(EU::randomUUID()).first, form));
  EXPECT_EQ(seen.size(), 1000u);
}

TEST(SymmetricKeyTest, ThirtyTwoBytesComparedByValueAndWipedOnDestruction) {
  for (std::size_t size : {31, 33}) EXPECT_CIPHER_ERROR(SymmetricKey key{Bytes(size, 1)}, invalidInput);
  EXPECT_FALSE(SymmetricKey(Bytes(32, 7)) == SymmetricKey(test::withPatch(Bytes(32, 7), 31, "06")));
  alignas(SymmetricKey) unsigned char storage[sizeof(SymmetricKey)];
  auto* placed = new (storage) SymmetricKey(Bytes(32, 0xA5));
  const auto offset = static_cast<std::size_t>(placed->toData().data() - storage);
  ASSERT_LE(offset + 32, sizeof storage);  // the key bytes are held inside the object
  placed->~SymmetricKey();
  EXPECT_EQ(Bytes(storage + offset, storage + offset + 32), Bytes(32, 0));
}

// Key derivation.

// RFC 5869 appendix A, test cases 1-3 (SHA-256).
const struct {
  const char *name, *ikm, *salt, *info;
  std::size_t length;
  const char* okm;
} kHkdfVectors[] = {
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

const struct {
  const char* name;
  std::string password, salt;
  std::uint32_t iterations;
  const char* key;  // empty: no key comes out
} kPbkdf2Vectors[] = {
    // RFC 7914 section 11 (two output blocks).
    {"rfc7914-1", "passwd", "salt", 1,
     "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
     "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783"},
    // The widely published PBKDF2-HMAC-SHA256 "password"/"salt" vector, 32 bytes.
    {"password-4096", "password", "salt", 4096, "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a"},
    // Values from Python's hashlib.pbkdf2_hmac.
    {"empty password and salt", "", "", 1, "f7ce0b653d2d72a4108cf5abe912ffdd777616dbbb27a70e8204f3ae2d0f6fad"},
    {"raw UTF-8 password, zero salt", "p\xc3\xa4ssword", std::string(32, '\0'), 3,
     "d3453abcf7fe2af7fbc2574d00b9cf55041e121713a46e8414c9576922878bdd"},
    {"zero iterations", "password", "salt", 0, ""},
};

TEST(KeyDerivationTest, HkdfAndPbkdf2MatchPublishedVectorsAndHkdfLimitsItsLength) {
  for (const auto& v : kHkdfVectors) {
    EXPECT_EQ(KeyDerivation::hkdfSha256(fromHex(v.ikm), fromHex(v.salt), fromHex(v.info), v.length).bytes(),
              fromHex(v.okm)) << v.name;
  }
  EXPECT_EQ(KeyDerivation::hkdfSha256(Bytes(32, 7), {}, {}, 255 * 32).size(), 255u * 32u);
  for (std::size_t length : {0, 255 * 32 + 1})
    EXPECT_CIPHER_ERROR((void)KeyDerivation::hkdfSha256(Bytes(32, 7), {}, {}, length), invalidInput);
  for (const auto& v : kPbkdf2Vectors) {
    const Bytes expected = fromHex(v.key);
    const auto key = KeyDerivation::pbkdf2HmacSha256(asBytes(v.password), asBytes(v.salt), v.iterations,
                                                     expected.empty() ? 32 : expected.size());
    EXPECT_EQ(key ? key->bytes() : Bytes{}, expected) << v.name;
  }
}

// KeyManager.

// Master key 00 01 … 1f and the keys derived from it, computed independently with
// python3-cryptography (HKDF, AESGCM).
const Bytes kMaster = fromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
const char* const kDBKeyHex = "8d6222bed37bd8c07268b3891c0403b120cf2288c346b90b70f22811cf5a19b6";
const char* const kChunkKeyHex = "567d19852c41d7122f4d362ec5e4c972dcf900edb55e972931086b2d42ea292b";
// The master key wrapped under the KEK 11 11 … 11 with the nonce a0 a1 … ab.
const char* const kWrappedHex =
    "a0a1a2a3a4a5a6a7a8a9aaab63b5724e441185943016b950734833e3b2e6d4211d9897bc0ccdf4f544cb28755e9c8a35556e67350d8c0dc4"
    "e766c4c0";

TEST(KeyManagerTest, DerivedAndWrappedKeysMatchIndependentValuesAndKeysAreHeldUntilCleared) {
  KeyManager km;
  EXPECT_EQ(toHex(km.deriveDBKey(SymmetricKey(kMaster)).toData()), kDBKeyHex);
  EXPECT_EQ(toHex(km.deriveChunkKey(SymmetricKey(kMaster), "0f6a4c2e-8b1d-4e57-9a3c-5d2e7f1b6c90").toData()),
            kChunkKeyHex);
  km.setMasterKey(SymmetricKey(kMaster));
  EXPECT_TRUE(km.isUnlocked() && km.getKeys()->first == SymmetricKey(kMaster));
  EXPECT_EQ(km.getDBKeyHex(), kDBKeyHex);
  km.clearKeys();
  EXPECT_FALSE(km.isUnlocked() || km.getMasterKey() || km.getDBKey() || km.getDBKeyHex() || km.getKeys());
  // The KEK is PBKDF2-HMAC-SHA256 of the password bytes as given, without trimming.
  const auto kekHex = [&](const char* password) { return toHex(km.deriveKEK(password, asBytes("salt"), 1)->toData()); };
  EXPECT_EQ(kekHex("password"), "120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b");
  EXPECT_NE(kekHex("password "), kekHex("password"));
  for (std::int64_t n : {0LL, -1LL, 4294967296LL}) EXPECT_FALSE(km.deriveKEK("password", asBytes("salt"), n)) << n;

  // The wrapped master key: the known answer, a fresh wrap, a wrong KEK, a key of the wrong size.
  const SymmetricKey kek(Bytes(32, 0x11));
  EXPECT_TRUE(km.decryptMasterKey(fromHex(kWrappedHex), kek) == SymmetricKey(kMaster));
  const Bytes fresh = km.encryptMasterKey(SymmetricKey(kMaster), kek);
  EXPECT_TRUE(km.decryptMasterKey(fresh, kek) == SymmetricKey(kMaster));
  EXPECT_CIPHER_ERROR((void)km.decryptMasterKey(fresh, SymmetricKey(Bytes(32, 0x12))), authenticationFailure);
  const Bytes shortKey = EncryptionUtilities::encrypt(Bytes(31, 9), kek);
  EXPECT_CIPHER_ERROR((void)km.decryptMasterKey(shortKey, kek), invalidInput);
}

// Writers keep replacing and clearing the keys while readers check that every pair they get
// belongs together (the database key is the HKDF of the master).
TEST(KeyManagerTest, ConcurrentReadersSeeCompleteKeyPairs) {
  KeyManager km;
  const std::vector<SymmetricKey> masters{km.generateMasterKey(), km.generateMasterKey(), km.generateMasterKey()};
  std::atomic<bool> stop{false};
  std::atomic<long> pairsSeen{0}, mismatches{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        const auto keys = km.getKeys();
        if (keys && !(km.deriveDBKey(keys->first) == keys->second)) ++mismatches;
        if (keys) ++pairsSeen;
      }
    });
  }
  for (int i = 0; i < 10000 || pairsSeen.load() == 0; ++i) {
    if (i % 5 == 0) km.clearKeys();
    else km.setMasterKey(masters[static_cast<std::size_t>(i % 3)]);
  }
  stop = true;
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace tolvo
