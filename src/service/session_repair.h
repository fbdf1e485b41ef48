#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "core/records.h"
#include "crypto/symmetric_key.h"

namespace tolvo {

class DatabaseManager;

// Closes sessions left open by a crash: for each of the 1000 most recently started sessions
// without an end time, infers one end time E (the latest of its start, its chunks' ends or
// starts, its intervals' ends and `nowMs`), ends its open chunks at E with the plaintext
// length estimated from their files, stretches its last recording and context intervals to
// E, ends the session at E and records "chunk_ended" / "session_ended" events. Returns the
// number of sessions repaired. Not a transaction: database errors end the run and are raised;
// sessions already handled stay repaired, and a later run finishes the rest.
//
// With `chunkKey` (a chunk id to its key, nothing while locked), a short last page is kept
// only when it opens with that key: a process killed while writing a full page leaves a torn
// page that no reader could open, and the length then ends with the last whole page.
using ChunkKeySource = std::function<std::optional<SymmetricKey>(const std::string& chunkId)>;
[[nodiscard]] std::int64_t repairInterruptedSessionsInDatabase(DatabaseManager& database,
                                                               const std::filesystem::path& chunksDirectory,
                                                               std::int64_t nowMs, const ChunkKeySource& chunkKey = {});

// The plaintext length held by a chunk's encrypted file, from its size: 64-byte header, then
// pages of max(pageSize, 1) bytes each followed by a 16-byte tag, the last page possibly
// short. A missing or unreadable file gives 0. Never fails.
[[nodiscard]] std::int64_t estimatedPlaintextLength(const Chunk& chunk, const std::filesystem::path& chunksDirectory);

}  // namespace tolvo
