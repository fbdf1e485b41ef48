#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "core/diagnostic_log.h"
#include "core/window_switch_debug.h"
#include "support/sandbox.h"

namespace tolvo {
namespace {

namespace stdfs = std::filesystem;

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class DiagnosticLogTest : public test::SandboxedTest {};

TEST_F(DiagnosticLogTest, FirstLineCreatesFileLaterLinesAppendWithPrefixes) {
  const auto file = tmp() / "TolvoDeskUITest" / "xpc-debug.log";
  xpcLog("unlockVault called");
  EXPECT_TRUE(std::regex_match(test::readText(file),
                               std::regex(R"(\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] unlockVault called\n)")));
  vmLog("Loading KDF params...");
  dbLog("open completed");
  auto lines = linesOf(test::readText(file));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(lines[1].ends_with("] VM: Loading KDF params..."));
  EXPECT_TRUE(lines[2].ends_with("] DB: open completed"));
  EXPECT_EQ(stdfs::status(file).permissions() & stdfs::perms::all, stdfs::perms::owner_read | stdfs::perms::owner_write);
}

TEST_F(DiagnosticLogTest, ConcurrentWritersNeverTearLines) {
  constexpr int kThreads = 8, kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) xpcLog("thread " + std::to_string(t) + " line " + std::to_string(i) + " " + std::string(100, 'x'));
    });
  }
  for (auto& th : threads) th.join();
  auto lines = linesOf(test::readText(tmp() / "TolvoDeskUITest" / "xpc-debug.log"));
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  const std::regex shape(R"(\[[^\]]+\] thread \d line \d+ x{100})");
  for (const auto& line : lines) ASSERT_TRUE(std::regex_match(line, shape)) << line;
}

TEST_F(DiagnosticLogTest, SymlinkAtLogPathIsNotFollowed) {
  const auto target = root() / "victim.txt";
  test::writeText(target, "keep");
  stdfs::create_directories(tmp() / "TolvoDeskUITest");
  stdfs::create_symlink(target, tmp() / "TolvoDeskUITest" / "xpc-debug.log");
  xpcLog("must not land in the victim");
  EXPECT_EQ(test::readText(target), "keep");
}

class WindowSwitchDebugTest : public test::SandboxedTest {
 protected:
  stdfs::path dir() const { return dataHome() / "TolvoDesk" / "Debug"; }
};

TEST_F(WindowSwitchDebugTest, FlagFileSwitchesLoggingOnAndOff) {
  TolvoWindowSwitchDebug::log("dropped", "RecordingCoordinator");
  TolvoWindowSwitchDebug::flush();
  EXPECT_TRUE(stdfs::is_directory(dir()));
  EXPECT_FALSE(stdfs::exists(dir() / "window-switch-debug.log"));

  test::writeText(dir() / "window-switch-debug.enabled", "");
  TolvoWindowSwitchDebug::log("display 2 chosen", "ActiveDisplayResolver");
  TolvoWindowSwitchDebug::log("two\nlines", "AppContextTracker");
  TolvoWindowSwitchDebug::flush();
  stdfs::remove(dir() / "window-switch-debug.enabled");
  TolvoWindowSwitchDebug::log("dropped again", "ScreenCaptureEngine");
  TolvoWindowSwitchDebug::flush();

  auto lines = linesOf(test::readText(dir() / "window-switch-debug.log"));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] \[ActiveDisplayResolver\] display 2 chosen)")));
  EXPECT_TRUE(lines[1].ends_with("] [AppContextTracker] two"));
  EXPECT_EQ(lines[2], "lines");
}

TEST_F(WindowSwitchDebugTest, LinesFromManyThreadsStayWholeAndInCallOrderPerThread) {
  test::writeText(dir() / "window-switch-debug.enabled", "on");
  constexpr int kThreads = 6, kLines = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) TolvoWindowSwitchDebug::log(std::to_string(i), "T" + std::to_string(t));
    });
  }
  for (auto& th : threads) th.join();
  TolvoWindowSwitchDebug::flush();
  auto lines = linesOf(test::readText(dir() / "window-switch-debug.log"));
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  std::vector<int> next(kThreads, 0);
  const std::regex shape(R"(\[[^\]]+\] \[T(\d)\] (\d+))");
  for (const auto& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
    const int t = std::stoi(m[1]);
    EXPECT_EQ(std::stoi(m[2]), next[t]++) << "lines of one thread out of order";
  }
}

}  // namespace
}  // namespace tolvo
