#include "crypto/encryption_utilities.h"

#include <gtest/gtest.h>

#include <new>
#include <regex>
#include <set>

#include "crypto/cipher_error.h"
#include "crypto/symmetric_key.h"
#include "crypto_test_util.h"

namespace tolvo {
namespace {

using test::fromHex;

constexpr const char* kAuthFailed = "Authentication failed: wrong key or altered data";

template <typename F>
CipherError::Code cipherErrorOf(F&& f) {
  try {
    f();
  } catch (const CipherError& e) {
    return e.code();
  }
  ADD_FAILURE() << "no CipherError raised";
  return CipherError::Code::internalFailure;
}

// ---- Page nonce and additional data --------------------------------------------------

TEST(PageNonceTest, BaseFollowedByLittleEndianIndex) {
  const Bytes base = fromHex("0102030405060708");
  EXPECT_EQ(EncryptionUtilities::createPageNonce(base, 1), fromHex("01020304050607 08 01000000"));
  EXPECT_EQ(EncryptionUtilities::createPageNonce(base, 0), fromHex("0102030405060708 00000000"));
  EXPECT_EQ(EncryptionUtilities::createPageNonce(base, 0xA1B2C3D4u), fromHex("0102030405060708 d4c3b2a1"));
  EXPECT_EQ(EncryptionUtilities::createPageNonce(base, 0xFFFFFFFFu), fromHex("0102030405060708 ffffffff"));
}

TEST(PageNonceTest, BaseMustBeEightBytes) {
  for (std::size_t size : {0u, 7u, 9u, 12u}) {
    const Bytes base(size, 0x55);
    EXPECT_EQ(cipherErrorOf([&] { (void)EncryptionUtilities::createPageNonce(base, 1); }),
              CipherError::Code::invalidInput)
        << size;
  }
}

TEST(PageAADTest, IdentifierBytesThenLittleEndianIndex) {
  EXPECT_EQ(EncryptionUtilities::createPageAAD("abc", 258), fromHex("616263 02010000"));
  EXPECT_EQ(EncryptionUtilities::createPageAAD("", 0), fromHex("00000000"));
  // UTF-8 bytes as they are: "é" is c3 a9.
  EXPECT_EQ(EncryptionUtilities::createPageAAD("\xc3\xa9", 0x01020304), fromHex("c3a9 04030201"));
}

// ---- AES-256-GCM known answers ---------------------------------------------------------

struct GcmVector {
  const char* name;
  const char* key;
  const char* nonce;
  const char* plaintext;
  const char* aad;
  const char* ciphertext;
  const char* tag;
};

// McGrew & Viega, "The Galois/Counter Mode of Operation", test cases 13-16 (AES-256, 96-bit IV).
const GcmVector kGcmVectors[] = {
    {"case13", "0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000", "",
     "", "", "530f8afbc74536b9a963b4f1c4cb738b"},
    {"case14", "0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000",
     "00000000000000000000000000000000", "", "cea7403d4d606b6e074ec5d3baf39d18", "d0d1c8a799996bf0265b98b5d48ab919"},
    {"case15", "feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888",
     "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657"
     "ba637b391aafd255",
     "",
     "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0a"
     "bcc9f662898015ad",
     "b094dac5d93471bdec1a502270e3cc6c"},
    {"case16", "feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888",
     "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657"
     "ba637b39",
     "feedfacedeadbeeffeedfacedeadbeefabaddad2",
     "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0a"
     "bcc9f662",
     "76fc6ece0f4e1768cddf8853bb2d551b"},
};

TEST(GcmKnownAnswerTest, EncryptPageMatchesPublishedVectors) {
  for (const GcmVector& v : kGcmVectors) {
    SCOPED_TRACE(v.name);
    const SymmetricKey key(fromHex(v.key));
    const EncryptedPage page =
        EncryptionUtilities::encryptPage(fromHex(v.plaintext), key, fromHex(v.nonce), fromHex(v.aad));
    EXPECT_EQ(page.ciphertext, fromHex(v.ciphertext));
    EXPECT_EQ(page.tag, fromHex(v.tag));
    EXPECT_EQ(page.serialized(), fromHex(std::string(v.ciphertext) + v.tag));
    EXPECT_EQ(page.totalSize(), fromHex(v.ciphertext).size() + 16);
  }
}

TEST(GcmKnownAnswerTest, DecryptPageMatchesPublishedVectors) {
  for (const GcmVector& v : kGcmVectors) {
    SCOPED_TRACE(v.name);
    const SymmetricKey key(fromHex(v.key));
    EXPECT_EQ(EncryptionUtilities::decryptPage(fromHex(v.ciphertext), fromHex(v.tag), key, fromHex(v.nonce),
                                               fromHex(v.aad)),
              fromHex(v.plaintext));
  }
}

// ---- Page sealing -------------------------------------------------------------------

class PageSealingTest : public ::testing::Test {
 protected:
  const SymmetricKey key_{fromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f")};
  const Bytes base_ = fromHex("1122334455667788");
  const Bytes plaintext_ = toBytes("page plaintext that is not very long");
};

TEST_F(PageSealingTest, EmptyPlaintextGivesEmptyCiphertextAndTag) {
  const Bytes nonce = EncryptionUtilities::createPageNonce(base_, 0);
  const Bytes aad = EncryptionUtilities::createPageAAD("chunk", 0);
  const EncryptedPage page = EncryptionUtilities::encryptPage({}, key_, nonce, aad);
  EXPECT_TRUE(page.ciphertext.empty());
  EXPECT_EQ(page.tag.size(), 16u);
  EXPECT_TRUE(EncryptionUtilities::decryptPage(page.ciphertext, page.tag, key_, nonce, aad).empty());
  // The tag still binds the AAD of an empty page.
  EXPECT_EQ(cipherErrorOf([&] {
              (void)EncryptionUtilities::decryptPage(page.ciphertext, page.tag, key_, nonce,
                                                     EncryptionUtilities::createPageAAD("chunk", 1));
            }),
            CipherError::Code::authenticationFailure);
}

TEST_F(PageSealingTest, EveryBitFlipOfCiphertextOrTagFailsAuthentication) {
  const Bytes nonce = EncryptionUtilities::createPageNonce(base_, 3);
  const Bytes aad = EncryptionUtilities::createPageAAD("chunk", 3);
  const EncryptedPage page = EncryptionUtilities::encryptPage(plaintext_, key_, nonce, aad);
  ASSERT_EQ(page.ciphertext.size(), plaintext_.size());
  Bytes sealed = page.serialized();
  for (std::size_t bit = 0; bit < sealed.size() * 8; ++bit) {
    Bytes altered = sealed;
    altered[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    ByteView ct(altered.data(), plaintext_.size());
    ByteView tag(altered.data() + plaintext_.size(), 16);
    try {
      (void)EncryptionUtilities::decryptPage(ct, tag, key_, nonce, aad);
      ADD_FAILURE() << "bit " << bit << " accepted";
    } catch (const CipherError& e) {
      EXPECT_EQ(e.code(), CipherError::Code::authenticationFailure);
      EXPECT_STREQ(e.what(), kAuthFailed);
    }
  }
}

TEST_F(PageSealingTest, OtherPageOtherChunkOtherNonceOrKeyFailAuthentication) {
  const Bytes nonce = EncryptionUtilities::createPageNonce(base_, 5);
  const Bytes aad = EncryptionUtilities::createPageAAD("chunk-a", 5);
  const EncryptedPage page = EncryptionUtilities::encryptPage(plaintext_, key_, nonce, aad);
  EXPECT_EQ(EncryptionUtilities::decryptPage(page.ciphertext, page.tag, key_, nonce, aad), plaintext_);

  auto open = [&](const SymmetricKey& k, const Bytes& n, const Bytes& a) {
    return cipherErrorOf([&] { (void)EncryptionUtilities::decryptPage(page.ciphertext, page.tag, k, n, a); });
  };
  const auto fail = CipherError::Code::authenticationFailure;
  EXPECT_EQ(open(key_, nonce, EncryptionUtilities::createPageAAD("chunk-a", 6)), fail);
  EXPECT_EQ(open(key_, nonce, EncryptionUtilities::createPageAAD("chunk-b", 5)), fail);
  EXPECT_EQ(open(key_, EncryptionUtilities::createPageNonce(base_, 6), aad), fail);
  EXPECT_EQ(open(SymmetricKey::random(), nonce, aad), fail);
}

TEST_F(PageSealingTest, MalformedNonceOrTagIsInvalidInput) {
  const Bytes aad;
  EXPECT_EQ(cipherErrorOf([&] { (void)EncryptionUtilities::encryptPage(plaintext_, key_, Bytes(11), aad); }),
            CipherError::Code::invalidInput);
  EXPECT_EQ(cipherErrorOf([&] { (void)EncryptionUtilities::decryptPage(plaintext_, Bytes(16), key_, Bytes(13), aad); }),
            CipherError::Code::invalidInput);
  EXPECT_EQ(cipherErrorOf([&] { (void)EncryptionUtilities::decryptPage(plaintext_, Bytes(15), key_, Bytes(12), aad); }),
            CipherError::Code::invalidInput);
}

TEST(EncryptedPageTest, FromDataSplitsCiphertextAndTag) {
  const Bytes data = fromHex("0102030405 a0a1a2a3a4a5a6a7a8a9aaabacadaeaf");
  const EncryptedPage page = EncryptedPage::fromData(data, 5);
  EXPECT_EQ(page.ciphertext, fromHex("0102030405"));
  EXPECT_EQ(page.tag, fromHex("a0a1a2a3a4a5a6a7a8a9aaabacadaeaf"));
  try {
    (void)EncryptedPage::fromData(data, 6);
    ADD_FAILURE() << "short page accepted";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "Invalid encrypted page");
  }
}

// ---- Whole-blob sealing -----------------------------------------------------------

TEST(SealedBlobTest, LayoutIsNonceCiphertextTagAndRoundTrips) {
  const SymmetricKey key = SymmetricKey::random();
  const Bytes plaintext = toBytes("thirty-two bytes of master key!!");
  const Bytes sealed = EncryptionUtilities::encrypt(plaintext, key);
  ASSERT_EQ(sealed.size(), 32u + 28u);
  // The layout is checked against an independent open of the same bytes.
  const ByteView view(sealed);
  EXPECT_EQ(EncryptionUtilities::decryptPage(view.subspan(12, 32), view.subspan(44, 16), key, view.first(12), {}),
            plaintext);
  EXPECT_EQ(EncryptionUtilities::decrypt(sealed, key), plaintext);
  // A fresh nonce each time.
  EXPECT_NE(EncryptionUtilities::encrypt(plaintext, key), sealed);
  EXPECT_EQ(EncryptionUtilities::encrypt({}, key).size(), 28u);
}

TEST(SealedBlobTest, ShortOrAlteredBlobsAreRefused) {
  const SymmetricKey key = SymmetricKey::random();
  Bytes sealed = EncryptionUtilities::encrypt(toBytes("secret"), key);
  EXPECT_EQ(cipherErrorOf([&] { (void)EncryptionUtilities::decrypt(ByteView(sealed).first(27), key); }),
            CipherError::Code::invalidInput);
  EXPECT_TRUE(EncryptionUtilities::decrypt(EncryptionUtilities::encrypt({}, key), key).empty());
  for (std::size_t i : {std::size_t{0}, std::size_t{11}, std::size_t{12}, sealed.size() - 1}) {
    Bytes altered = sealed;
    altered[i] ^= 0x80;
    EXPECT_EQ(cipherErrorOf([&] { (void)EncryptionUtilities::decrypt(altered, key); }),
              CipherError::Code::authenticationFailure)
        << i;
  }
}

// ---- Random sources ---------------------------------------------------------------

TEST(RandomTest, UUIDsAreVersion4UpperCase) {
  const std::regex form("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const std::string id = EncryptionUtilities::randomUUID();
    ASSERT_EQ(id.size(), 36u);
    ASSERT_TRUE(std::regex_match(id, form)) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

TEST(RandomTest, SizesAndFreshness) {
  EXPECT_TRUE(EncryptionUtilities::randomBytes(0).empty());
  EXPECT_EQ(EncryptionUtilities::randomBytes(1000).size(), 1000u);
  EXPECT_NE(EncryptionUtilities::randomBytes(32), EncryptionUtilities::randomBytes(32));
  const Bytes base = EncryptionUtilities::generateNonceBase();
  EXPECT_EQ(base.size(), 8u);
  EXPECT_NE(base, EncryptionUtilities::generateNonceBase());
}

// ---- SymmetricKey and CipherError ---------------------------------------------------

TEST(SymmetricKeyTest, OnlyThirtyTwoBytesMakeAKey) {
  for (std::size_t size : {0u, 16u, 31u, 33u, 64u}) {
    EXPECT_EQ(cipherErrorOf([&] { SymmetricKey key{Bytes(size, 1)}; }), CipherError::Code::invalidInput) << size;
  }
  const Bytes bytes = fromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
  const SymmetricKey key(bytes);
  EXPECT_EQ(Bytes(key.toData().begin(), key.toData().end()), bytes);
  EXPECT_EQ(SymmetricKey::kSize, 32u);
}

TEST(SymmetricKeyTest, EqualityComparesBytes) {
  Bytes bytes(32, 0x42);
  const SymmetricKey a(bytes);
  const SymmetricKey copy = a;  // NOLINT(performance-unnecessary-copy-initialization)
  EXPECT_TRUE(a == copy);
  bytes[31] = 0x43;
  EXPECT_FALSE(a == SymmetricKey(bytes));
  EXPECT_FALSE(SymmetricKey::random() == SymmetricKey::random());
}

TEST(SymmetricKeyTest, DestructionWipesTheKeyBytes) {
  alignas(SymmetricKey) unsigned char storage[sizeof(SymmetricKey)];
  auto* key = new (storage) SymmetricKey(Bytes(32, 0xA5));
  const std::size_t offset = static_cast<std::size_t>(key->toData().data() - storage);
  ASSERT_LE(offset + 32, sizeof storage);
  ASSERT_EQ(storage[offset], 0xA5);
  key->~SymmetricKey();
  for (std::size_t i = 0; i < 32; ++i) EXPECT_EQ(storage[offset + i], 0) << i;
}

TEST(CipherErrorTest, DescriptionsAreFixed) {
  EXPECT_STREQ(CipherError(CipherError::Code::authenticationFailure).what(), kAuthFailed);
  EXPECT_STRNE(CipherError(CipherError::Code::invalidInput).what(), "");
  EXPECT_STRNE(CipherError(CipherError::Code::internalFailure).what(), "");
  const Error& base = CipherError(CipherError::Code::authenticationFailure);
  EXPECT_EQ(base.description(), kAuthFailed);
}

}  // namespace
}  // namespace tolvo
