#include "service/session_deletion.h"

#include <unistd.h>

#include <algorithm>

#include "db/database_manager.h"
#include "core/vault_paths.h"

namespace tolvo {

std::int64_t deleteFinishedSessions(DatabaseManager& database, const RecordingStatus& recorder,
                                    const VaultFolders& folders, const std::vector<std::string>& sessionIDs) {
  std::vector<std::string> ids;
  for (const auto& id : sessionIDs) {
    if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
  }
  if (ids.empty()) return 0;

  if (recorder.currentSessionId && recorder.state != RecordingStatus::State::idle &&
      std::find(ids.begin(), ids.end(), *recorder.currentSessionId) != ids.end()) {
    throw DeleteSessionsError();
  }

  std::vector<std::filesystem::path> files;
  for (const auto& id : ids) {
    for (const auto& chunk : database.listChunks(id)) {
      if (auto path = resolveInside(folders.chunks, chunk.fileRelpath)) files.push_back(std::move(*path));
    }
    for (const auto& artifact : database.listArtifacts(id)) {
      if (!artifact.fileRelpath) continue;
      if (auto path = resolveInside(folders.artifacts, *artifact.fileRelpath)) files.push_back(std::move(*path));
    }
  }

  database.deleteSessions(ids);

  for (const auto& file : files) {
    (void)::unlink(file.c_str());  // a missing file or one that cannot be removed is skipped
  }
  return static_cast<std::int64_t>(ids.size());
}

}  // namespace tolvo
