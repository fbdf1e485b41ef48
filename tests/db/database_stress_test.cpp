#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "db/database_manager.h"
#include "db/database_test_support.h"

namespace tolvo::test {
namespace {

class DatabaseStressTest : public DatabaseTest {};

TEST_F(DatabaseStressTest, ConcurrentWritersAndReadersLoseNothing) {
  openDatabase();
  constexpr int kThreads = 8;
  constexpr int kRounds = 60;
  std::atomic<int> failures{0};
  std::atomic<int> shortReads{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      try {
        for (int i = 0; i < kRounds; ++i) {
          const std::string session = "t" + std::to_string(t) + "-" + std::to_string(i);
          db_.createSession({session, i, std::nullopt, i});
          db_.createEvent({0, session, 1, EventType::sessionStarted, std::nullopt});
          db_.createEvent({0, "t" + std::to_string(t), i, EventType::appChanged, toBytes(session)});
          if (db_.listEvents("t" + std::to_string(t), 0, kRounds).size() != static_cast<std::size_t>(i) + 1) {
            ++shortReads;
          }
          if (db_.listEvents(session, 0, 10).size() != 1) ++shortReads;
          (void)db_.listSessions(20, 0);
          if (i % 20 == 0) db_.deleteSessions({"nobody-" + session});
        }
      } catch (const std::exception& e) {
        ++failures;
        ADD_FAILURE() << e.what();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(shortReads.load(), 0);
  EXPECT_EQ(peer_.scalar("SELECT COUNT(*) AS n FROM sessions;"), kThreads * kRounds);
  EXPECT_EQ(peer_.scalar("SELECT COUNT(*) AS n FROM events;"), 2 * kThreads * kRounds);
  EXPECT_EQ(peer_.scalar("SELECT COUNT(DISTINCT event_id) AS n FROM events;"), 2 * kThreads * kRounds);
  EXPECT_EQ(db_.listSessions(1000, 0).size(), static_cast<std::size_t>(kThreads * kRounds));
}

// Reads "N\n" lines from `fd` until a count of at least `wanted` arrived; returns the last
// count seen (less than `wanted` when the writer stopped or stalled for 30 s).
std::int64_t readCounts(int fd, std::int64_t wanted) {
  std::int64_t last = 0;
  std::string pending;
  while (last < wanted) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 30000) <= 0) break;
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    pending.append(buffer, static_cast<std::size_t>(n));
    for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
      last = std::stoll(pending.substr(0, end));
      pending.erase(0, end + 1);
    }
  }
  return last;
}

TEST_F(DatabaseStressTest, RowsCommittedBeforeSigkillSurvive) {
  std::filesystem::create_directories(vaultDir());
  const std::string path = dbPath().string();
  const std::string key(kKeyHex);
  const char* helper = TOLVO_DB_CRASH_WRITER;
  char* const argv[] = {const_cast<char*>(helper), const_cast<char*>(path.c_str()), const_cast<char*>(key.c_str()),
                        nullptr};
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::dup2(fds[1], STDOUT_FILENO);  // dup2 clears close-on-exec on the copy
    ::execv(helper, argv);
    ::_exit(127);
  }
  ::close(fds[1]);
  const std::int64_t reported = readCounts(fds[0], 300);
  ::kill(pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ::close(fds[0]);
  ASSERT_GE(reported, 300) << "the writer stopped early";
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGKILL);

  openDatabase();
  EXPECT_EQ(peer_.query("PRAGMA integrity_check;").at(0).text("integrity_check"), "ok");
  const auto events = db_.listEvents("crash", 1, reported);
  ASSERT_EQ(events.size(), static_cast<std::size_t>(reported));
  EXPECT_EQ(events.back().tsMs, reported);
  EXPECT_EQ(events.back().payload, toBytes("payload " + std::to_string(reported)));
  EXPECT_TRUE(db_.getSession("crash").has_value());
}

}  // namespace
}  // namespace tolvo::test
