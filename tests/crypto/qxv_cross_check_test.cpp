#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

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
  // Runs the script and returns its exit status; the plaintext lands in `out`.
  int runReference(const std::filesystem::path& file, const SymmetricKey& key, const std::string& lengthArg,
                   const std::filesystem::path& out) {
    std::string command = "/usr/bin/python3 '" TOLVO_QXV_DECRYPT_SCRIPT "' '" + file.string() + "' " +
                          toHex(key.toData()) + " " + lengthArg + " > '" + out.string() + "'";
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status)) << command;
    return WEXITSTATUS(status);
  }

  std::filesystem::path writeRandom(const std::string& name, std::size_t size, const std::string& chunkId,
                                    const SymmetricKey& key, bool artifact, Bytes& data) {
    data = EncryptionUtilities::randomBytes(size);
    const std::filesystem::path path = tmp() / name;
    QXVWriter writer(path, chunkId, key, artifact);
    // Uneven pieces, as an MP4 muxer would hand them over.
    std::size_t at = 0;
    for (std::size_t n = 1; at < data.size(); n = n * 3 + 1) {
      const std::size_t take = std::min(n, data.size() - at);
      writer.write(ByteView(data).subspan(at, take));
      at += take;
    }
    EXPECT_EQ(writer.finalize(), static_cast<std::int64_t>(size));
    return path;
  }
};

TEST_F(QXVCrossCheckTest, ReferenceReaderDecryptsWriterOutput) {
  ASSERT_EQ(std::system("/usr/bin/python3 -c 'import cryptography' 2>/dev/null"), 0)
      << "python3-cryptography is missing: run scripts/install-deps.sh";
  KeyManager km;
  const SymmetricKey master = km.generateMasterKey();
  struct Case {
    std::size_t size;
    bool artifact;
  };
  for (const Case c : {Case{0, false}, Case{1, false}, Case{65536, false}, Case{3 * 65536 + 12345, false},
                       Case{100000, true}}) {
    SCOPED_TRACE(c.size);
    std::string chunkId = EncryptionUtilities::randomUUID();
    for (char& ch : chunkId) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    const SymmetricKey key = km.deriveChunkKey(master, chunkId);
    Bytes data;
    const auto file = writeRandom("c.qxv", c.size, chunkId, key, c.artifact, data);
    const auto out = tmp() / "plain.bin";
    ASSERT_EQ(runReference(file, key, std::to_string(c.size), out), 0);
    EXPECT_EQ(test::readFileBytes(out), data);
    // The length recovered from the file size gives the same plaintext.
    ASSERT_EQ(runReference(file, key, "", out), 0);
    EXPECT_EQ(test::readFileBytes(out), data);
  }
}

TEST_F(QXVCrossCheckTest, ReferenceReaderRejectsWrongKeyAndAlteredPages) {
  const SymmetricKey key = SymmetricKey::random();
  Bytes data;
  const auto file = writeRandom("t.qxv", 70000, "abcdefghij", key, false, data);
  const auto out = tmp() / "plain.bin";
  EXPECT_EQ(runReference(file, SymmetricKey::random(), "70000", out), 2);
  Bytes bytes = test::readFileBytes(file);
  bytes[64 + 65552 + 3] ^= 0x10;  // page 1
  test::writeFileBytes(file, bytes);
  EXPECT_EQ(runReference(file, key, "70000", out), 2);
}

}  // namespace
}  // namespace tolvo
