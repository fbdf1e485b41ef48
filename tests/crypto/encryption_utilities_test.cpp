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

namespace EU = EncryptionUtilities;
using test::errorCode;
using test::errorText;
using test::fromHex;
using Code = CipherError::Code;

constexpr const char* kAuthFailed = "Authentication failed: wrong key or altered data";

TEST(PageNonceTest, NonceAndAADEndInTheLittleEndianPageIndex) {
  const Bytes base = fromHex("0102030405060708");
  EXPECT_EQ(EU::createPageNonce(base, 0), fromHex("0102030405060708 00000000"));
  EXPECT_EQ(EU::createPageNonce(base, 0xA1B2C3D4u), fromHex("0102030405060708 d4c3b2a1"));
  EXPECT_EQ(EU::createPageNonce(base, 0xFFFFFFFFu), fromHex("0102030405060708 ffffffff"));
  EXPECT_EQ(EU::createPageAAD("abc", 258), fromHex("616263 02010000"));
  EXPECT_EQ(EU::createPageAAD("", 0), fromHex("00000000"));
  EXPECT_EQ(EU::createPageAAD("\xc3\xa9", 0x01020304), fromHex("c3a9 04030201"));  // UTF-8 bytes as they are
  for (std::size_t size : {0u, 7u, 9u, 12u}) {
    EXPECT_EQ(errorCode<CipherError>([&] { (void)EU::createPageNonce(Bytes(size, 0x55), 1); }), Code::invalidInput)
        << size;
  }
}

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

TEST(GcmKnownAnswerTest, SealAndOpenMatchPublishedVectors) {
  for (const GcmVector& v : kGcmVectors) {
    const SymmetricKey key(fromHex(v.key));
    const Bytes nonce = fromHex(v.nonce), aad = fromHex(v.aad), ciphertext = fromHex(v.ciphertext);
    const EncryptedPage page = EU::encryptPage(fromHex(v.plaintext), key, nonce, aad);
    EXPECT_EQ(page.ciphertext, ciphertext) << v.name;
    EXPECT_EQ(page.tag, fromHex(v.tag)) << v.name;
    EXPECT_EQ(page.serialized(), fromHex(std::string(v.ciphertext) + v.tag)) << v.name;
    EXPECT_EQ(page.totalSize(), ciphertext.size() + 16) << v.name;
    EXPECT_EQ(EU::decryptPage(ciphertext, fromHex(v.tag), key, nonce, aad), fromHex(v.plaintext)) << v.name;
  }
}

// The tag covers every sealed bit, also of an empty page (whose tag still binds the AAD).
TEST(PageSealingTest, EveryBitFlipFailsAuthentication) {
  const SymmetricKey key = SymmetricKey::random();
  const Bytes nonce = EU::createPageNonce(fromHex("1122334455667788"), 5);
  const Bytes aad = EU::createPageAAD("chunk-a", 5);
  for (const Bytes& plaintext : {Bytes{}, toBytes("page plaintext that is not very long")}) {
    const EncryptedPage page = EU::encryptPage(plaintext, key, nonce, aad);
    ASSERT_EQ(page.ciphertext.size(), plaintext.size());
    EXPECT_EQ(EU::decryptPage(page.ciphertext, page.tag, key, nonce, aad), plaintext);
    const Bytes sealed = page.serialized();
    for (std::size_t bit = 0; bit < sealed.size() * 8; ++bit) {
      Bytes altered = sealed;
      altered[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
      const ByteView view(altered);
      EXPECT_EQ(errorText([&] {
                  (void)EU::decryptPage(view.first(plaintext.size()), view.subspan(plaintext.size()), key, nonce, aad);
                }),
                kAuthFailed)
          << "bit " << bit << " of " << sealed.size() << " bytes";
    }
  }
}

TEST(PageSealingTest, MalformedNonceTagOrPageIsRefused) {
  const SymmetricKey key = SymmetricKey::random();
  const Bytes data(20, 1);
  EXPECT_EQ(errorCode<CipherError>([&] { (void)EU::encryptPage(data, key, Bytes(11), {}); }), Code::invalidInput);
  EXPECT_EQ(errorCode<CipherError>([&] { (void)EU::decryptPage(data, Bytes(16), key, Bytes(13), {}); }),
            Code::invalidInput);
  EXPECT_EQ(errorCode<CipherError>([&] { (void)EU::decryptPage(data, Bytes(15), key, Bytes(12), {}); }),
            Code::invalidInput);

  const Bytes sealed = fromHex("0102030405 a0a1a2a3a4a5a6a7a8a9aaabacadaeaf");
  const EncryptedPage page = EncryptedPage::fromData(sealed, 5);
  EXPECT_EQ(page.ciphertext, fromHex("0102030405"));
  EXPECT_EQ(page.tag, fromHex("a0a1a2a3a4a5a6a7a8a9aaabacadaeaf"));
  EXPECT_EQ(errorText([&] { (void)EncryptedPage::fromData(sealed, 6); }), "Invalid encrypted page");
}

TEST(SealedBlobTest, NonceCiphertextTagLayoutAndRefusals) {
  const SymmetricKey key = SymmetricKey::random();
  const Bytes plaintext = toBytes("thirty-two bytes of master key!!");
  const Bytes sealed = EU::encrypt(plaintext, key);
  ASSERT_EQ(sealed.size(), 12u + 32u + 16u);
  const ByteView view(sealed);  // opened independently of decrypt()
  EXPECT_EQ(EU::decryptPage(view.subspan(12, 32), view.subspan(44, 16), key, view.first(12), {}), plaintext);
  EXPECT_EQ(EU::decrypt(sealed, key), plaintext);
  EXPECT_NE(EU::encrypt(plaintext, key), sealed);  // a fresh nonce each time
  EXPECT_TRUE(EU::decrypt(EU::encrypt({}, key), key).empty());

  EXPECT_EQ(errorCode<CipherError>([&] { (void)EU::decrypt(view.first(27), key); }), Code::invalidInput);
  for (std::size_t i : {std::size_t{0}, std::size_t{11}, std::size_t{12}, sealed.size() - 1}) {
    Bytes altered = sealed;
    altered[i] ^= 0x80;
    EXPECT_EQ(errorCode<CipherError>([&] { (void)EU::decrypt(altered, key); }), Code::authenticationFailure) << i;
  }
}

TEST(RandomTest, UUIDsAreVersion4UpperCase) {
  const std::regex form("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const std::string id = EU::randomUUID();
    ASSERT_TRUE(std::regex_match(id, form)) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

TEST(SymmetricKeyTest, ThirtyTwoBytesComparedByValueAndWipedOnDestruction) {
  for (std::size_t size : {0u, 16u, 31u, 33u, 64u}) {
    EXPECT_EQ(errorCode<CipherError>([&] { SymmetricKey key{Bytes(size, 1)}; }), Code::invalidInput) << size;
  }
  const Bytes bytes = fromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
  const SymmetricKey key(bytes);
  EXPECT_EQ(Bytes(key.toData().begin(), key.toData().end()), bytes);
  EXPECT_TRUE(key == SymmetricKey(bytes));
  Bytes last = bytes;
  last[31] ^= 0x01;
  EXPECT_FALSE(key == SymmetricKey(last));

  alignas(SymmetricKey) unsigned char storage[sizeof(SymmetricKey)];
  auto* placed = new (storage) SymmetricKey(Bytes(32, 0xA5));
  const auto offset = static_cast<std::size_t>(placed->toData().data() - storage);
  ASSERT_LE(offset + 32, sizeof storage);
  ASSERT_EQ(storage[offset], 0xA5);
  placed->~SymmetricKey();
  EXPECT_EQ(Bytes(storage + offset, storage + offset + 32), Bytes(32, 0));
}

}  // namespace
}  // namespace tolvo
