// The runtime environment of the service: private files and folders, paths and UI test mode,
// the diagnostic logs, serial queues.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <future>
#include <ranges>
#include <regex>
#include <stdexcept>
#include <thread>

#include "core/diagnostic_log.h"
#include "core/error.h"
#include "core/file_util.h"
#include "core/serial_queue.h"
#include "core/tolvo_constants.h"
#include "core/ui_test_mode.h"
#include "core/window_switch_debug.h"
#include "support/sandbox.h"

namespace tolvo {
namespace {

namespace Paths = TolvoConstants::Paths;
namespace stdfs = std::filesystem;
using namespace std::chrono_literals;

// Matches a SystemError with this errno value.
auto throwsErrno(int code) { return testing::Throws<SystemError>(testing::Property(&SystemError::code, code)); }

mode_t modeOf(const stdfs::path& p) {
  struct stat st {};
  return ::lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

using SystemTest = test::SandboxedTest;

// Private directories are 0700, atomic writes replace whole files with mode 0600, symbolic links
// are refused, and a full device is reported.
TEST_F(SystemTest, PrivateDirectoriesFilesAndRefusals) {
  const auto dir = root() / "a" / "b";
  fs::ensurePrivateDirectory(dir);
  fs::ensurePrivateDirectory(dir);  // existing is fine
  EXPECT_EQ(modeOf(dir), 0700u);
  fs::writeFileAtomically(dir / "item", asBytes("first version"));
  fs::writeFileAtomically(dir / "item", asBytes("second"));
  EXPECT_EQ(fs::readFileIfExists(dir / "item"), toBytes("second"));
  EXPECT_EQ(modeOf(dir / "item"), 0600u);
  EXPECT_EQ(std::distance(stdfs::directory_iterator(dir), {}), 1);  // no temporary left
  EXPECT_FALSE(fs::readFileIfExists(dir / "missing").has_value());
  test::writeText(root() / "victim", "keep");
  EXPECT_THROW(fs::ensurePrivateDirectory(root() / "victim"), SystemError);
  stdfs::create_symlink(root() / "victim", root() / "link");
  EXPECT_THAT([&] { fs::appendToFile(root() / "link", asBytes("x")); }, throwsErrno(ELOOP));
  EXPECT_THROW((void)fs::readFileIfExists(root() / "link"), SystemError);
  EXPECT_EQ(test::readText(root() / "victim"), "keep");
  stdfs::create_directory_symlink(root() / "data", root() / "dirlink");
  EXPECT_THROW(fs::ensurePrivateDirectory(root() / "dirlink"), SystemError);
  EXPECT_THAT([] { fs::appendToFile("/dev/full", asBytes("data")); }, throwsErrno(ENOSPC));
}

// The data home holds the private application folder; the temporary directory is $TMPDIR, then
// $XDG_RUNTIME_DIR, then a private folder in /tmp.
TEST_F(SystemTest, NormalModeUsesDataHomeAndTheTemporaryDirectoryFromTheEnvironment) {
  EXPECT_EQ(Paths::databasePath(), dataHome() / "TolvoDesk" / "Vault" / "vault.db");
  EXPECT_EQ(modeOf(dataHome() / "TolvoDesk"), 0700u);
  setEnv("XDG_DATA_HOME", std::nullopt);
  EXPECT_EQ(Paths::applicationSupport(), root() / "home" / ".local" / "share" / "TolvoDesk");
  EXPECT_EQ(Paths::temporaryDirectory(), tmp());
  setEnv("TMPDIR", std::nullopt);
  setEnv("XDG_RUNTIME_DIR", (root() / "runtime").string());
  EXPECT_EQ(Paths::temporaryDirectory(), root() / "runtime");
  setEnv("XDG_RUNTIME_DIR", std::nullopt);
  const stdfs::path fallback = "/tmp/tolvodesk-" + std::to_string(::getuid());
  EXPECT_EQ(Paths::temporaryDirectory(), fallback);
  EXPECT_EQ(modeOf(fallback), 0700u);
}

TEST_F(SystemTest, UITestModeByArgumentEnvironmentOrMarkerMovesEverythingIntoTheTemporaryDirectory) {
  // The probe exits with 0 when it runs in UI test mode switched on by its argument.
  EXPECT_EQ(std::system(TOLVO_CORE_UITEST_PROBE " --uitest-mode"), 0);
  EXPECT_EQ(WEXITSTATUS(std::system(TOLVO_CORE_UITEST_PROBE)), 1);
  setEnv("TOLVO_UITEST_MODE", "true");
  EXPECT_FALSE(isUITestMode());
  setEnv("TOLVO_UITEST_MODE", "1");
  EXPECT_TRUE(isUITestMode());
  EXPECT_EQ(Paths::databasePath(), tmp() / "TolvoDeskUITest" / "AppData" / "Vault" / "vault.db");
  setEnv("TOLVO_UITEST_MODE", std::nullopt);
  test::writeText(tmp() / "TolvoDeskUITest" / "uitest-mode", "1");
  EXPECT_TRUE(isUITestMode());
  EXPECT_TRUE(uiTestModeSwitches().markerFile && !uiTestModeSwitches().environment);
}

TEST_F(SystemTest, ForeignLinkedUITestDirectoryIsNotUsed) {
  // A symbolic link planted by another user where the private directory belongs must not be followed.
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to plant a link owned by another user";
  stdfs::create_directories(root() / "elsewhere");
  stdfs::create_symlink(root() / "elsewhere", tmp() / "TolvoDeskUITest");
  ASSERT_EQ(::lchown((tmp() / "TolvoDeskUITest").c_str(), 65534, 65534), 0);
  setEnv("TOLVO_UITEST_MODE", "1");
  (void)Paths::applicationSupport();
  EXPECT_TRUE(stdfs::is_empty(root() / "elsewhere"));
}

// The diagnostic logs.

const std::string kStamp = R"(\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] )";  // "[<ISO 8601 UTC time>] "

// The first line creates the file, later lines append, each with its prefix, never through a
// symbolic link. The window switch log (window titles in plain text) is written only while its
// flag file exists.
TEST_F(SystemTest, DiagnosticLogsWriteStampedLinesToPrivateFilesOnlyWhereAllowed) {
  const auto file = tmp() / "TolvoDeskUITest" / "xpc-debug.log";
  test::writeText(root() / "victim.txt", "keep");
  stdfs::create_directories(file.parent_path());
  stdfs::create_symlink(root() / "victim.txt", file);
  xpcLog("must not land in the victim");
  EXPECT_EQ(test::readText(root() / "victim.txt"), "keep");
  stdfs::remove(file);
  xpcLog("unlockVault called");
  vmLog("Loading KDF params...");
  EXPECT_TRUE(std::regex_match(test::readText(file), std::regex(kStamp + "unlockVault called\n" + kStamp +
                                                                R"(VM: Loading KDF params\.\.\.\n)")));
  EXPECT_EQ(modeOf(file), 0600u);

  const auto dir = dataHome() / "TolvoDesk" / "Debug";
  for (const bool enabled : {false, true, false}) {
    if (enabled) test::writeText(dir / "window-switch-debug.enabled", "");
    else stdfs::remove(dir / "window-switch-debug.enabled");
    TolvoWindowSwitchDebug::log(enabled ? "display 2 chosen" : "dropped", "ActiveDisplayResolver");
    TolvoWindowSwitchDebug::flush();
  }
  EXPECT_TRUE(std::regex_match(test::readText(dir / "window-switch-debug.log"),
                               std::regex(kStamp + R"(\[ActiveDisplayResolver\] display 2 chosen\n)")));
}

// Serial queues.

// Eight threads submit at once: the blocks run one at a time, each thread's in its order; sync
// runs its block on the queue, after those before it, and passes on its exception. A delayed
// block runs after its delay without holding up later blocks; a repeating timer stops when
// cancelled.
TEST(SerialQueue, BlocksRunOneAtATimeInSubmissionOrderDelayedOnesAfterTheirDelay) {
  SerialQueue queue("test.order");
  std::vector<std::vector<int>> seen(8);  // touched only on the queue
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        queue.async([&, t, i] {
          if (running.fetch_add(1) != 0) overlapped = true;
          seen[t].push_back(i);
          running.fetch_sub(1);
        });
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(queue.isCurrent());
  EXPECT_TRUE(queue.sync([&] { return queue.isCurrent(); }));  // also waits for the blocks before it
  EXPECT_THROW(queue.sync([]() -> int { throw std::runtime_error("boom"); }), std::runtime_error);
  EXPECT_FALSE(overlapped);
  for (const auto& one : seen) EXPECT_TRUE(std::ranges::equal(one, std::views::iota(0, 500)));

  const auto start = std::chrono::steady_clock::now();
  std::promise<std::chrono::steady_clock::duration> delayed;
  std::atomic<bool> laterRan{false};
  queue.asyncAfter(150ms, [&] { delayed.set_value(laterRan ? std::chrono::steady_clock::now() - start : 0ms); });
  queue.async([&] { laterRan = true; });
  EXPECT_GE(delayed.get_future().get(), 150ms);  // 0 when the later block had not run before it

  std::atomic<int> ticks{0};
  auto timer = queue.scheduleRepeating(10ms, [&] { ++ticks; });
  while (ticks < 3) std::this_thread::sleep_for(5ms);
  timer.cancel();
  const int after = queue.sync([&] { return ticks.load(); });
  std::this_thread::sleep_for(60ms);
  EXPECT_EQ(queue.sync([&] { return ticks.load(); }), after);
}

}  // namespace
}  // namespace tolvo
