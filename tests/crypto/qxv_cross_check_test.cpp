#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <utility>

#include "crypto/encryption_utilities.h"
#include "crypto/key_manager.h"
#include "crypto/qxv_writer.h"
#include "crypto_test_util.h"
#include "support/sandbox.h"

namespace tolvo {
namespace {

// Files written by QXVWriter are decrypted by tests/crypto/qxv_decrypt.py, a reader built
// only from the format document on python3-cryptography's AES-GCM.
class QXVCrossCheckTest : public test::SandboxedTest {
 protected:
  // Runs the reference reader and returns its exit status; the plaintext lands in plain().
  int runReference(const std::filesystem::path& file, const SymmetricKey& key, const std::string& lengthArg) {
    const std::string command = "/usr/bin/python3 '" TOLVO_QXV_DECRYPT_SCRIPT "' '" + file.string() + "' " +
                                toHex(key.toData()) + " " + lengthArg + " > '" + plain().string() + "'";
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status)) << command;
    return WEXITSTATUS(status);
  }
  std::filesystem::path plain() const { return tmp() / "plain.bin"; }

  // Writes `data` in uneven pieces, as an MP4 muxer would hand them over.
  std::filesystem::path write(const Bytes& data, const std::string& chunkId, const SymmetricKey& key,
                              bool artifact = false) {
    const std::filesystem::path path = tmp() / "c.qxv";
    QXVWriter writer(path, chunkId, key, artifact);
    for (std::size_t at = 0, n = 1; at < data.size(); at += n, n = n * 3 + 1) {
      writer.write(ByteView(data).subspan(at, std::min(n, data.size() - at)));
    }
    EXPECT_EQ(writer.finalize(), static_cast<std::int64_t>(data.size()));
    return path;
  }
};

TEST_F(QXVCrossCheckTest, ReferenceReaderDecryptsWriterOutput) {
  ASSERT_EQ(std::system("/usr/bin/python3 -c 'import cryptography' 2>/dev/null"), 0)
      << "python3-cryptography is missing: run scripts/install-deps.sh";
  KeyManager km;
  const SymmetricKey master = km.generateMasterKey();
  for (const auto& [size, artifact] : std::initializer_list<std::pair<std::size_t, bool>>{
           {0, false}, {1, false}, {65536, false}, {3 * 65536 + 12345, false}, {100000, true}}) {
    SCOPED_TRACE(size);
    std::string chunkId = EncryptionUtilities::randomUUID();
    for (char& ch : chunkId) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    const SymmetricKey key = km.deriveChunkKey(master, chunkId);
    const Bytes data = EncryptionUtilities::randomBytes(size);
    const auto file = write(data, chunkId, key, artifact);
    // With the length as the chunk row records it, and recovered from the file size.
    for (const std::string& length : {std::to_string(size), std::string()}) {
      ASSERT_EQ(runReference(file, key, length), 0);
      EXPECT_EQ(test::readFileBytes(plain()), data);
    }
  }
}

TEST_F(QXVCrossCheckTest, ReferenceReaderRejectsWrongKeyAndAlteredPages) {
  const SymmetricKey key = SymmetricKey::random();
  const auto file = write(EncryptionUtilities::randomBytes(70000), "abcdefghij", key);
  EXPECT_EQ(runReference(file, SymmetricKey::random(), "70000"), 2);
  Bytes bytes = test::readFileBytes(file);
  bytes[64 + 65552 + 3] ^= 0x10;  // page 1
  test::writeFileBytes(file, bytes);
  EXPECT_EQ(runReference(file, key, "70000"), 2);
}

}  // namespace
}  // namespace tolvo
