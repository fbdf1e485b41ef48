#include "core/file_util.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/error.h"
#include "support/sandbox.h"

namespace tolvo {
namespace {

namespace stdfs = std::filesystem;

class FileUtilTest : public test::SandboxedTest {};

TEST_F(FileUtilTest, PrivateDirectoriesAreCreated0700AndMustBeRealDirectories) {
  const auto dir = root() / "a" / "b" / "c";
  fs::ensurePrivateDirectory(dir);
  struct stat st {};
  ASSERT_EQ(::stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  fs::ensurePrivateDirectory(dir);  // existing is fine

  stdfs::create_symlink(dir, root() / "link");
  EXPECT_THROW(fs::ensurePrivateDirectory(root() / "link"), SystemError);
  test::writeText(root() / "file", "x");
  EXPECT_THROW(fs::ensurePrivateDirectory(root() / "file"), SystemError);
}

TEST_F(FileUtilTest, AtomicWriteReplacesWholeFileWithMode0600AndLeavesNoTemporaries) {
  const auto path = root() / "item";
  fs::writeFileAtomically(path, asBytes("first version"));
  fs::writeFileAtomically(path, asBytes("second"));
  EXPECT_EQ(fs::readFileIfExists(path), toBytes("second"));
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  int entries = 0;
  for ([[maybe_unused]] const auto& e : stdfs::directory_iterator(root())) ++entries;
  EXPECT_EQ(entries, 5);  // tmp, data, config, home and the item
}

TEST_F(FileUtilTest, AppendAndReadRefuseSymbolicLinks) {
  const auto victim = root() / "victim";
  test::writeText(victim, "keep");
  stdfs::create_symlink(victim, root() / "link");
  EXPECT_THROW(fs::appendToFile(root() / "link", asBytes("x")), SystemError);
  EXPECT_THROW((void)fs::readFileIfExists(root() / "link"), SystemError);
  EXPECT_EQ(test::readText(victim), "keep");
  EXPECT_FALSE(fs::readFileIfExists(root() / "missing").has_value());
  EXPECT_FALSE(fs::removeFileIfExists(root() / "missing"));
}

TEST_F(FileUtilTest, WriteToAFullDeviceReportsTheError) {
  if (!stdfs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  try {
    fs::appendToFile("/dev/full", asBytes("data"));
    FAIL() << "writing to a full device succeeded";
  } catch (const SystemError& e) {
    EXPECT_EQ(e.code(), ENOSPC);
    EXPECT_NE(std::string(e.what()).find("No space left on device"), std::string::npos);
  }
}

}  // namespace
}  // namespace tolvo
