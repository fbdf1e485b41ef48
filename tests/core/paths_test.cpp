#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "core/tolvo_constants.h"
#include "core/ui_test_mode.h"
#include "support/sandbox.h"

namespace tolvo {
namespace {

namespace Paths = TolvoConstants::Paths;
namespace stdfs = std::filesystem;

mode_t modeOf(const stdfs::path& p) {
  struct stat st {};
  EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

class PathsTest : public test::SandboxedTest {};

TEST_F(PathsTest, NormalModeUsesDataHomeWithPrivateDirectories) {
  EXPECT_EQ(Paths::applicationSupport(), dataHome() / "TolvoDesk");
  EXPECT_EQ(Paths::databasePath(), dataHome() / "TolvoDesk" / "Vault" / "vault.db");
  EXPECT_EQ(Paths::chunksDirectory(), dataHome() / "TolvoDesk" / "Vault" / "Chunks");
  EXPECT_EQ(Paths::artifactsDirectory(), dataHome() / "TolvoDesk" / "Vault" / "Artifacts");
  EXPECT_EQ(modeOf(dataHome() / "TolvoDesk"), 0700u);
  setEnv("XDG_DATA_HOME", std::nullopt);
  EXPECT_EQ(Paths::applicationSupport(), root() / "home" / ".local" / "share" / "TolvoDesk");
  EXPECT_EQ(Paths::userDefaultsFile(), configHome() / "TolvoDesk" / "defaults.json");
}

TEST_F(PathsTest, UITestModeMovesEverythingIntoTheTemporaryDirectory) {
  setEnv("TOLVO_UITEST_MODE", "true");
  EXPECT_FALSE(isUITestMode());
  setEnv("TOLVO_UITEST_MODE", "1");
  EXPECT_TRUE(isUITestMode());
  EXPECT_EQ(Paths::databasePath(), tmp() / "TolvoDeskUITest" / "AppData" / "Vault" / "vault.db");
  setEnv("TOLVO_UITEST_MODE", std::nullopt);
  EXPECT_FALSE(isUITestMode());
  test::writeText(tmp() / "TolvoDeskUITest" / "uitest-mode", "1");
  EXPECT_TRUE(isUITestMode());
  EXPECT_TRUE(uiTestModeSwitches().markerFile);
  EXPECT_FALSE(uiTestModeSwitches().environment);
}

TEST_F(PathsTest, TemporaryDirectoryRule) {
  EXPECT_EQ(Paths::temporaryDirectory(), tmp());
  setEnv("TMPDIR", std::nullopt);
  setEnv("XDG_RUNTIME_DIR", (root() / "runtime").string());
  EXPECT_EQ(Paths::temporaryDirectory(), root() / "runtime");
  setEnv("XDG_RUNTIME_DIR", std::nullopt);
  const stdfs::path fallback = "/tmp/tolvodesk-" + std::to_string(::getuid());
  EXPECT_EQ(Paths::temporaryDirectory(), fallback);
  EXPECT_EQ(modeOf(fallback), 0700u);
}

TEST_F(PathsTest, ForeignLinkedUITestDirectoryIsNotUsed) {
  // A symbolic link planted by another user where the private directory belongs must not be followed.
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to plant a link owned by another user";
  const auto elsewhere = root() / "elsewhere";
  stdfs::create_directories(elsewhere);
  stdfs::create_symlink(elsewhere, tmp() / "TolvoDeskUITest");
  ASSERT_EQ(::lchown((tmp() / "TolvoDeskUITest").c_str(), 65534, 65534), 0);
  setEnv("TOLVO_UITEST_MODE", "1");
  (void)Paths::applicationSupport();
  EXPECT_TRUE(stdfs::is_empty(elsewhere));
}

int runProbe(bool withArgument) {
  pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (withArgument) ::execl(TOLVO_CORE_UITEST_PROBE, "probe", "--uitest-mode", static_cast<char*>(nullptr));
    else ::execl(TOLVO_CORE_UITEST_PROBE, "probe", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST_F(PathsTest, ArgumentSwitch) {
  EXPECT_FALSE(uiTestModeSwitches().argument);
  EXPECT_EQ(runProbe(true), 0) << "--uitest-mode on the command line switches UI test mode on";
  EXPECT_EQ(runProbe(false), 1);
}

}  // namespace
}  // namespace tolvo
