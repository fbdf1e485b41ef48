#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

#include "client/tolvo_client.h"

namespace tolvo::ctl {

// Writes the plaintext MP4 of chunk `chunkId` of session `sessionId` to `out` (a new 0600
// file, replaced atomically; "-" writes to standard output). Looks the chunk up with
// listChunks, fetches its key with getChunkKey and decrypts
// `<chunksDirectory>/<fileRelpath>` here. Returns the number of bytes written. Raises
// std::runtime_error with a message for a person.
std::int64_t exportChunk(TolvoClient& client, const UISessionToken& token, std::string_view sessionId,
                         std::string_view chunkId, const std::filesystem::path& out,
                         const std::filesystem::path& chunksDirectory);

}  // namespace tolvo::ctl
