#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/records.h"

namespace tolvo {

class DatabaseManager;

// Refusal to delete the session being recorded (domain "RecorderService.DeleteSessions", code 1).
class DeleteSessionsError : public Error {
 public:
  static constexpr const char* kDomain = "RecorderService.DeleteSessions";
  static constexpr int kActiveRecordingCode = 1;
  DeleteSessionsError() : Error("Active recordings can't be deleted while recording.") {}
  [[nodiscard]] int code() const noexcept { return kActiveRecordingCode; }
};

struct VaultFolders {
  std::filesystem::path chunks;
  std::filesystem::path artifacts;
};

// Deletes sessions with their rows (one transaction) and then their chunk and artifact files.
// Repeated ids count once; returns the number of distinct ids given (whether or not they
// existed). Raises DeleteSessionsError, before touching anything, when the recorder's open
// session (state not idle) is among them; raises database errors before any file is touched.
// Files that are missing or cannot be removed are skipped.
[[nodiscard]] std::int64_t deleteFinishedSessions(DatabaseManager& database, const RecordingStatus& recorder,
                                                  const VaultFolders& folders, const std::vector<std::string>& sessionIDs);

}  // namespace tolvo
