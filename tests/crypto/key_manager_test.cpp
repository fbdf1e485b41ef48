#include "crypto/key_manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "crypto/cipher_error.h"
#include "crypto/encryption_utilities.h"
#include "crypto_test_util.h"

namespace tolvo {
namespace {

using test::errorCode;
using test::fromHex;
using Code = CipherError::Code;

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

TEST(KeyManagerTest, HoldsTheMasterKeyAndItsDatabaseKeyUntilCleared) {
  KeyManager km;
  auto expectLocked = [&] {
    EXPECT_FALSE(km.isUnlocked());
    EXPECT_FALSE(km.getMasterKey());
    EXPECT_FALSE(km.getDBKey());
    EXPECT_FALSE(km.getDBKeyHex());
    EXPECT_FALSE(km.getKeys());
  };
  expectLocked();
  km.setMasterKey(SymmetricKey(kMaster));
  EXPECT_TRUE(km.isUnlocked());
  EXPECT_TRUE(*km.getMasterKey() == SymmetricKey(kMaster));
  EXPECT_EQ(km.getDBKeyHex(), kDBKeyHex);
  const auto keys = km.getKeys();
  ASSERT_TRUE(keys);
  EXPECT_TRUE(keys->first == SymmetricKey(kMaster));
  EXPECT_EQ(toHex(keys->second.toData()), kDBKeyHex);
  km.clearKeys();
  expectLocked();
}

TEST(KeyManagerTest, DerivedKeysMatchIndependentValues) {
  KeyManager km;
  const SymmetricKey master(kMaster);
  EXPECT_EQ(toHex(km.deriveDBKey(master).toData()), kDBKeyHex);
  EXPECT_EQ(toHex(km.deriveChunkKey(master, kChunkId).toData()), kChunkKeyHex);
  // The KEK is PBKDF2-HMAC-SHA256 of the password bytes as given, without trimming.
  EXPECT_EQ(toHex(km.deriveKEK("password", asBytes("salt"), 4096)->toData()),
            "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a");
  EXPECT_NE(toHex(km.deriveKEK("password ", asBytes("salt"), 1)->toData()),
            "120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b");
  for (std::int64_t iterations : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{4294967296},
                                  std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()}) {
    EXPECT_FALSE(km.deriveKEK("password", asBytes("salt"), iterations)) << iterations;
  }
}

TEST(KeyManagerTest, WrappedMasterKeyKnownAnswerAndRefusals) {
  KeyManager km;
  const SymmetricKey kek(Bytes(32, 0x11));
  const Bytes known = fromHex(kWrappedHex);
  EXPECT_TRUE(km.decryptMasterKey(known, kek) == SymmetricKey(kMaster));
  const Bytes fresh = km.encryptMasterKey(SymmetricKey(kMaster), kek);
  ASSERT_EQ(fresh.size(), 60u);
  EXPECT_NE(fresh, known);  // random nonce
  EXPECT_TRUE(km.decryptMasterKey(fresh, kek) == SymmetricKey(kMaster));

  // Opening is EncryptionUtilities::decrypt; beyond it only the key size is checked.
  EXPECT_EQ(errorCode<CipherError>([&] { (void)km.decryptMasterKey(known, SymmetricKey(Bytes(32, 0x12))); }),
            Code::authenticationFailure);
  const Bytes shortKey = EncryptionUtilities::encrypt(Bytes(31, 9), kek);
  EXPECT_EQ(errorCode<CipherError>([&] { (void)km.decryptMasterKey(shortKey, kek); }), Code::invalidInput);
}

// Writers keep replacing and clearing the keys while readers check that every key they get
// is whole and that each pair belongs together (the database key is the HKDF of the master).
TEST(KeyManagerTest, ConcurrentReadersSeeCompleteKeyPairs) {
  KeyManager km;
  // A pool of masters with their database keys, so readers check without deriving.
  std::vector<SymmetricKey> masters;
  std::vector<std::string> dbHex;
  for (int i = 0; i < 8; ++i) {
    masters.push_back(km.generateMasterKey());
    dbHex.push_back(toHex(km.deriveDBKey(masters.back()).toData()));
  }
  auto poolIndex = [&](const SymmetricKey& master) {
    return std::find(masters.begin(), masters.end(), master) - masters.begin();
  };
  std::atomic<bool> stop{false};
  std::atomic<int> readersReady{0};
  std::atomic<long> pairsSeen{0}, mismatches{0};
  std::vector<std::thread> readers, writers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      ++readersReady;
      while (!stop.load()) {
        if (auto keys = km.getKeys()) {
          const auto i = poolIndex(keys->first);
          if (i == 8 || dbHex[static_cast<std::size_t>(i)] != toHex(keys->second.toData())) ++mismatches;
          ++pairsSeen;
        }
        if (auto hex = km.getDBKeyHex(); hex && std::find(dbHex.begin(), dbHex.end(), *hex) == dbHex.end()) {
          ++mismatches;
        }
        if (auto master = km.getMasterKey(); master && poolIndex(*master) == 8) ++mismatches;
      }
    });
  }
  for (int w = 0; w < 3; ++w) {
    writers.emplace_back([&, w] {
      while (readersReady.load() < 3) std::this_thread::yield();
      for (int i = 0; i < 3000; ++i) {
        if ((i + w) % 5 == 0) km.clearKeys();
        else km.setMasterKey(masters[static_cast<std::size_t>((i * 3 + w) % 8)]);
      }
    });
  }
  for (auto& thread : writers) thread.join();
  stop = true;
  for (auto& thread : readers) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_GT(pairsSeen.load(), 0);
}

}  // namespace
}  // namespace tolvo
