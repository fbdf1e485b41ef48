// Test helper: writes its process id to stdout, opens the database at argv[1] with the key
// argv[2], then inserts events of session "crash" with ts_ms 1, 2, 3, ... forever, writing each
// count to stdout ("N\n") right after its insert returned. The test kills it with SIGKILL.
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <string>

#include "db/database_manager.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  try {
    tolvo::DatabaseManager db;
    db.open(argv[1], argv[2]);
    db.createSession({"crash", 0, std::nullopt, 0});
    std::string line = std::to_string(::getpid()) + "\n";  // first the process id, then each count
    for (std::int64_t i = 1;; ++i) {
      if (::write(STDOUT_FILENO, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return 3;
      db.createEvent({0, "crash", i, tolvo::EventType::chunkEnded, tolvo::toBytes("payload " + std::to_string(i))});
      line = std::to_string(i) + "\n";
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "crash_writer: %s\n", e.what());
    return 1;
  }
}
