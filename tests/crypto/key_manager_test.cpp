#include "crypto/key_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "crypto/cipher_error.h"
#include "crypto/encryption_utilities.h"
#include "crypto_test_util.h"

namespace tolvo {
namespace {

using test::fromHex;

// Master key 00 01 … 1f and the keys derived from it, computed independently with
// python3-cryptography (HKDF, AESGCM).
const Bytes kMaster = fromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
const char* const kDBKeyHex = "8d6222bed37bd8c07268b3891c0403b120cf2288c346b90b70f22811cf5a19b6";
const char* const kChunkId = "0f6a4c2e-8b1d-4e57-9a3c-5d2e7f1b6c90";
const char* const kChunkKeyHex = "567d19852c41d7122f4d362ec5e4c972dcf900edb55e972931086b2d42ea292b";
// The master key wrapped under the KEK 11 11 … 11 with the nonce a0 a1 … ab.
const char* const kWrappedHex =
    "a0a1a2a3a4a5a6a7a8a9aaab63b5724e441185943016b950734833e3b2e6d4211d9897bc0ccdf4f544cb28755e9c8a35556e67350d8c0dc4"
    "e766c4c0";

CipherError::Code unwrapError(const KeyManager& km, ByteView wrapped, const SymmetricKey& kek) {
  try {
    (void)km.decryptMasterKey(wrapped, kek);
  } catch (const CipherError& e) {
    return e.code();
  }
  ADD_FAILURE() << "unwrapped";
  return CipherError::Code::internalFailure;
}

TEST(KeyManagerTest, LockedUntilAMasterKeyIsSetAndAfterClearing) {
  KeyManager km;
  EXPECT_FALSE(km.isUnlocked());
  EXPECT_FALSE(km.getMasterKey());
  EXPECT_FALSE(km.getDBKey());
  EXPECT_FALSE(km.getDBKeyHex());
  EXPECT_FALSE(km.getKeys());

  km.setMasterKey(SymmetricKey(kMaster));
  EXPECT_TRUE(km.isUnlocked());
  ASSERT_TRUE(km.getMasterKey());
  EXPECT_TRUE(*km.getMasterKey() == SymmetricKey(kMaster));
  ASSERT_TRUE(km.getDBKeyHex());
  EXPECT_EQ(*km.getDBKeyHex(), kDBKeyHex);
  EXPECT_TRUE(std::regex_match(*km.getDBKeyHex(), std::regex("^[0-9a-f]{64}$")));
  ASSERT_TRUE(km.getDBKey());
  EXPECT_EQ(toHex(km.getDBKey()->toData()), kDBKeyHex);

  km.clearKeys();
  EXPECT_FALSE(km.isUnlocked());
  EXPECT_FALSE(km.getMasterKey());
  EXPECT_FALSE(km.getDBKey());
  EXPECT_FALSE(km.getDBKeyHex());
}

TEST(KeyManagerTest, SharedIsOneInstance) {
  EXPECT_EQ(&KeyManager::shared(), &KeyManager::shared());
  EXPECT_FALSE(KeyManager::shared().isUnlocked());
}

TEST(KeyManagerTest, DerivedKeysMatchIndependentValues) {
  KeyManager km;
  const SymmetricKey master(kMaster);
  EXPECT_EQ(toHex(km.deriveDBKey(master).toData()), kDBKeyHex);
  EXPECT_EQ(toHex(km.deriveChunkKey(master, kChunkId).toData()), kChunkKeyHex);
}

TEST(KeyManagerTest, ChunkKeysAreDistinctAndStable) {
  KeyManager km;
  const SymmetricKey master = km.generateMasterKey();
  const SymmetricKey dbKey = km.deriveDBKey(master);
  std::set<std::string> seen{toHex(master.toData()), toHex(dbKey.toData())};
  for (const char* id : {"a", "b", "3f2504e0-4f89-41d3-9a0c-0305e82c3301", "3f2504e0-4f89-41d3-9a0c-0305e82c3302", ""}) {
    const SymmetricKey k = km.deriveChunkKey(master, id);
    EXPECT_TRUE(k == km.deriveChunkKey(master, id)) << id;
    EXPECT_TRUE(seen.insert(toHex(k.toData())).second) << "collision for " << id;
  }
  EXPECT_FALSE(km.deriveChunkKey(master, "a") == km.deriveChunkKey(km.generateMasterKey(), "a"));
  EXPECT_FALSE(km.generateMasterKey() == km.generateMasterKey());
}

TEST(KeyManagerTest, KEKIsPbkdf2HmacSha256OfThePasswordBytes) {
  KeyManager km;
  const auto kek = km.deriveKEK("password", asBytes("salt"), 4096);
  ASSERT_TRUE(kek);
  EXPECT_EQ(toHex(kek->toData()), "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a");
  const auto one = km.deriveKEK("password", asBytes("salt"), 1);
  ASSERT_TRUE(one);
  EXPECT_EQ(toHex(one->toData()), "120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b");
  // No trimming or normalization.
  EXPECT_FALSE(*km.deriveKEK("password ", asBytes("salt"), 1) == *one);
}

TEST(KeyManagerTest, IterationCountsOutsideUnsigned32BitsGiveNothing) {
  KeyManager km;
  for (std::int64_t iterations : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{4294967296},
                                  std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()}) {
    EXPECT_FALSE(km.deriveKEK("password", asBytes("salt"), iterations)) << iterations;
  }
}

TEST(KeyManagerTest, WrappedMasterKeyLayoutAndKnownAnswer) {
  KeyManager km;
  const SymmetricKey kek(Bytes(32, 0x11));
  const Bytes wrapped = fromHex(kWrappedHex);
  EXPECT_TRUE(km.decryptMasterKey(wrapped, kek) == SymmetricKey(kMaster));

  const Bytes fresh = km.encryptMasterKey(SymmetricKey(kMaster), kek);
  ASSERT_EQ(fresh.size(), 60u);
  EXPECT_NE(fresh, wrapped);  // random nonce
  EXPECT_TRUE(km.decryptMasterKey(fresh, kek) == SymmetricKey(kMaster));
}

TEST(KeyManagerTest, UnwrapWithWrongPasswordOrAlteredBytesFails) {
  KeyManager km;
  const Bytes salt(32, 0x5a);
  const SymmetricKey master = km.generateMasterKey();
  const SymmetricKey kek = *km.deriveKEK("correct horse", salt, 1000);
  const Bytes wrapped = km.encryptMasterKey(master, kek);
  EXPECT_TRUE(km.decryptMasterKey(wrapped, kek) == master);

  const SymmetricKey wrongKek = *km.deriveKEK("correct horsf", salt, 1000);
  try {
    (void)km.decryptMasterKey(wrapped, wrongKek);
    ADD_FAILURE() << "wrong password accepted";
  } catch (const CipherError& e) {
    EXPECT_EQ(e.code(), CipherError::Code::authenticationFailure);
    EXPECT_STREQ(e.what(), "Authentication failed: wrong key or altered data");
  }
  for (std::size_t i = 0; i < wrapped.size(); ++i) {
    Bytes altered = wrapped;
    altered[i] ^= 0x01;
    EXPECT_EQ(unwrapError(km, altered, kek), CipherError::Code::authenticationFailure) << i;
  }
}

TEST(KeyManagerTest, MalformedWrappedBytesAreInvalidInput) {
  KeyManager km;
  const SymmetricKey kek = SymmetricKey::random();
  EXPECT_EQ(unwrapError(km, Bytes{}, kek), CipherError::Code::invalidInput);
  EXPECT_EQ(unwrapError(km, Bytes(27, 0), kek), CipherError::Code::invalidInput);
  // Authentic, but not a 32-byte key.
  const Bytes shortKey = EncryptionUtilities::encrypt(Bytes(31, 9), kek);
  EXPECT_EQ(unwrapError(km, shortKey, kek), CipherError::Code::invalidInput);
  // Cut by one byte: no longer authentic.
  const Bytes wrapped = km.encryptMasterKey(SymmetricKey::random(), kek);
  EXPECT_EQ(unwrapError(km, ByteView(wrapped).first(59), kek), CipherError::Code::authenticationFailure);
}

// Writers keep replacing and clearing the keys while readers check that every pair they
// get belongs together (the database key is the HKDF of the master key beside it).
TEST(KeyManagerTest, ConcurrentReadersSeeCompleteKeyPairs) {
  KeyManager km;
  // A small pool of masters with their expected database keys, so readers can check pairs
  // without deriving (which would slow the race down).
  std::vector<SymmetricKey> masters;
  std::vector<std::string> dbHex;
  for (int i = 0; i < 8; ++i) {
    masters.push_back(km.generateMasterKey());
    dbHex.push_back(toHex(km.deriveDBKey(masters.back()).toData()));
  }
  auto expectedDB = [&](const SymmetricKey& master) -> const std::string* {
    for (std::size_t i = 0; i < masters.size(); ++i) {
      if (masters[i] == master) return &dbHex[i];
    }
    return nullptr;
  };

  std::atomic<bool> stop{false};
  std::atomic<int> readersReady{0};
  std::atomic<long> pairsSeen{0};
  std::atomic<long> mismatches{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < 3; ++w) {
    threads.emplace_back([&, w] {
      while (readersReady.load() < 3) std::this_thread::yield();
      for (int i = 0; i < 3000; ++i) {
        if ((i + w) % 5 == 0) km.clearKeys();
        else km.setMasterKey(masters[static_cast<std::size_t>((i * 3 + w) % 8)]);
      }
    });
  }
  for (int r = 0; r < 3; ++r) {
    threads.emplace_back([&] {
      ++readersReady;
      while (!stop.load()) {
        if (auto keys = km.getKeys()) {
          const std::string* expected = expectedDB(keys->first);
          if (expected == nullptr || *expected != toHex(keys->second.toData())) ++mismatches;
          ++pairsSeen;
        }
        if (auto hex = km.getDBKeyHex()) {
          if (hex->size() != 64) ++mismatches;
        }
        if (auto master = km.getMasterKey()) {
          if (expectedDB(*master) == nullptr) ++mismatches;  // a torn key would not be in the pool
        }
        (void)km.isUnlocked();
      }
    });
  }
  for (int w = 0; w < 3; ++w) threads[static_cast<std::size_t>(w)].join();
  stop = true;
  for (std::size_t i = 3; i < threads.size(); ++i) threads[i].join();

  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_GT(pairsSeen.load(), 0);
}

}  // namespace
}  // namespace tolvo
