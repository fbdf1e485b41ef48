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
        ADD_FAILURE() << e.what();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(shortReads.load(), 0);
  EXPECT_EQ(peer_.scalar("SELECT COUNT(*) AS n FROM sessions;"), kThreads * kRounds);
  EXPECT_EQ(peer_.scalar("SELECT COUNT(*) AS n FROM events;"), 2 * kThreads * kRounds);
}

// A helper process inserts events one by one and reports each committed count on a pipe; it
// is killed with SIGKILL after 300. Every reported event is there, in an intact database.
TEST_F(DatabaseStressTest, RowsCommittedBeforeSigkillSurvive) {
  std::filesystem::create_directories(vaultDir());
  const std::string path = dbPath().string(), key(kKeyHex);
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::dup2(fds[1], STDOUT_FILENO);  // dup2 clears close-on-exec on the copy
    ::execl(TOLVO_DB_CRASH_WRITER, TOLVO_DB_CRASH_WRITER, path.c_str(), key.c_str(), nullptr);
    ::_exit(127);
  }
  ::close(fds[1]);
  std::int64_t reported = 0;
  std::string pending;
  pollfd readable{fds[0], POLLIN, 0};
  char buffer[4096];
  ssize_t n = 0;
  // Each "N\n" line is a count; stop at 300 or when the writer stops or stalls for 30 s.
  while (reported < 300 && ::poll(&readable, 1, 30000) > 0 && (n = ::read(fds[0], buffer, sizeof buffer)) > 0) {
    pending.append(buffer, static_cast<std::size_t>(n));
    for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
      reported = std::stoll(pending.substr(0, end));
      pending.erase(0, end + 1);
    }
  }
  ::kill(pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ::close(fds[0]);
  ASSERT_GE(reported, 300) << "the writer stopped early";
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

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
