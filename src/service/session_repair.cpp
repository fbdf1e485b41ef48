#include "service/session_repair.h"

#include <sys/stat.h>

#include <algorithm>

#include "crypto/qxv_reader.h"
#include "db/database_manager.h"
#include "core/vault_paths.h"

namespace tolvo {
namespace {

constexpr std::int64_t kSessionsExamined = 1000;
constexpr std::int64_t kHeaderSize = 64;
constexpr std::int64_t kTagSize = 16;

void recordEvent(DatabaseManager& database, const std::string& sessionId, std::int64_t tsMs, EventType type) {
  Event event;
  event.sessionId = sessionId;
  event.tsMs = tsMs;
  event.type = type;
  try {
    database.createEvent(event);
  } catch (const std::exception&) {
    // A missing closing event does not stop the repair.
  }
}

}  // namespace

std::int64_t estimatedPlaintextLength(const Chunk& chunk, const std::filesystem::path& chunksDirectory) {
  const auto file = resolveInside(chunksDirectory, chunk.fileRelpath);
  if (!file) return 0;
  struct stat st {};
  if (::stat(file->c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  const std::int64_t size = st.st_size;
  const std::int64_t page = std::max<std::int64_t>(chunk.pageSize, 1);
  const std::int64_t body = std::max<std::int64_t>(size - kHeaderSize, 0);
  const std::int64_t full = body / (page + kTagSize);
  const std::int64_t rest = body - full * (page + kTagSize);
  const std::int64_t tail = rest == 0 ? 0 : std::max<std::int64_t>(rest, kTagSize) - kTagSize;
  return full * page + tail;
}

// `length` (from the file's size) when its last page opens with `key`, else the length of the
// whole pages before it.
std::int64_t openableLength(const Chunk& chunk, const std::filesystem::path& chunksDirectory, std::int64_t length,
                            const SymmetricKey& key) {
  const std::int64_t page = std::max<std::int64_t>(chunk.pageSize, 1);
  const std::int64_t whole = length / page * page;
  if (whole == length) return length;
  try {
    const auto file = resolveInside(chunksDirectory, chunk.fileRelpath);
    if (file) (void)QXVReader(*file, key).readRange(whole, length - whole, length);
    return length;
  } catch (const std::exception&) {
    return whole;
  }
}

std::int64_t repairInterruptedSessionsInDatabase(DatabaseManager& database, const std::filesystem::path& chunksDirectory,
                                                 std::int64_t nowMs, const ChunkKeySource& chunkKey) {
  std::vector<Session> open;
  for (auto& s : database.listSessions(kSessionsExamined, 0)) {
    if (!s.endedAtMs) open.push_back(std::move(s));
  }
  for (const Session& session : open) {
    const auto chunks = database.listChunks(session.id);
    const auto recordingIntervals = database.listRecordingIntervals(session.id);
    const auto contextIntervals = database.listContextIntervals(session.id);

    std::int64_t end = std::max(session.startedAtMs, nowMs);
    for (const auto& c : chunks) end = std::max(end, c.endAtMs.value_or(c.startAtMs));
    for (const auto& r : recordingIntervals) end = std::max(end, r.endAtMs);
    for (const auto& c : contextIntervals) end = std::max(end, c.endAtMs);

    for (const auto& chunk : chunks) {
      if (chunk.endAtMs) continue;
      std::int64_t length = estimatedPlaintextLength(chunk, chunksDirectory);
      if (const auto key = length > 0 && chunkKey ? chunkKey(chunk.id) : std::nullopt) {
        length = openableLength(chunk, chunksDirectory, length, *key);
      }
      database.updateChunkEnded(chunk.id, end, length);
      recordEvent(database, session.id, end, EventType::chunkEnded);
    }
    // The lists come in start order, so the last element is the interval that started last.
    if (!recordingIntervals.empty() && recordingIntervals.back().endAtMs < end) {
      database.updateRecordingIntervalEnd(recordingIntervals.back().id, end);
    }
    if (!contextIntervals.empty() && contextIntervals.back().endAtMs < end) {
      database.updateContextIntervalEnd(contextIntervals.back().id, end);
    }
    database.updateSessionEnded(session.id, end);
    recordEvent(database, session.id, end, EventType::sessionEnded);
  }
  return static_cast<std::int64_t>(open.size());
}

}  // namespace tolvo
