#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "db/database_manager.h"
#include "support/sandbox.h"

namespace tolvo {

// Reaches DatabaseManager's private primitives (which run on its queue) for tests.
class DatabaseManagerTestPeer {
 public:
  explicit DatabaseManagerTestPeer(DatabaseManager& db) : db_(db) {}

  void execute(std::string_view sql, const SQLParams& params = {}) { db_.execute(sql, params); }
  std::vector<SQLRow> query(std::string_view sql, const SQLParams& params = {}) { return db_.query(sql, params); }

  // Runs `work` as a block of the database queue.
  template <typename F>
  auto onQueue(F&& work) {
    return db_.queue_.sync(std::forward<F>(work));
  }

  // The single integer of a one-row, one-column query such as "SELECT COUNT(*) AS n ...".
  std::int64_t scalar(std::string_view sql, const SQLParams& params = {}) {
    auto rows = query(sql, params);
    if (rows.size() != 1) throw std::runtime_error("expected one row from: " + std::string(sql));
    return rows.front().requiredInteger("n");
  }

 private:
  DatabaseManager& db_;
};

namespace test {

inline constexpr std::string_view kKeyHex = "00112233445566778899aabbccddeeff0f1e2d3c4b5a69788796a5b4c3d2e1f0";
inline constexpr std::string_view kOtherKeyHex = "ffeeddccbbaa99887766554433221100f0e1d2c3b4a5968778695a4b3c2d1e0f";

// The what() of the exception `call` raises, or "no error".
template <typename F>
std::string errorText(F&& call) {
  try {
    call();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error";
}

template <typename F>
void expectDatabaseError(F&& call, DatabaseError::Code code, const std::string& text) {
  try {
    call();
    ADD_FAILURE() << "expected DatabaseError \"" << text << "\"";
  } catch (const DatabaseError& e) {
    EXPECT_EQ(e.code(), code) << text;
    EXPECT_EQ(std::string(e.what()), text);
  }
}

// A sandboxed test with its own DatabaseManager and a database path whose directories do not
// exist yet (<data home>/TolvoDesk/Vault/vault.db).
class DatabaseTest : public SandboxedTest {
 protected:
  [[nodiscard]] std::filesystem::path vaultDir() const { return dataHome() / "TolvoDesk" / "Vault"; }
  [[nodiscard]] std::filesystem::path dbPath() const { return vaultDir() / "vault.db"; }
  void openDatabase(std::string_view key = kKeyHex) { db_.open(dbPath(), key); }

  DatabaseManager db_;
  DatabaseManagerTestPeer peer_{db_};
};

}  // namespace test
}  // namespace tolvo
