#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "client/tolvo_client.h"
#include "core/bytes.h"
#include "core/records.h"

namespace tolvo::ctl {

// Recorded video taken out of the vault by tolvoctl. Everything is decrypted in memory; the
// only plaintext written is the output a person names. Failures raise std::runtime_error
// with a message for a person.

// The playable plaintext MP4 of the finished `chunk`: `<chunksDirectory>/<fileRelpath>`
// decrypted with the key getChunkKey gives. A chunk recovered after a crash ends inside its
// last fragment; that part is left out, so the video plays to its end without a damaged last
// picture. What is not an MP4 stream with a complete movie header comes back whole.
[[nodiscard]] SecureBytes decryptChunk(TolvoClient& client, const UISessionToken& token, const Chunk& chunk,
                                       const std::filesystem::path& chunksDirectory);

// Writes `data` to `out`: a new 0600 file that replaces `out` atomically, or standard output
// for "-".
void writeOutput(const std::filesystem::path& out, ByteView data);

// Writes the plaintext MP4 of chunk `chunkId` of session `sessionId` (decryptChunk) to `out`
// (writeOutput). Returns the number of bytes written.
std::int64_t exportChunk(TolvoClient& client, const UISessionToken& token, std::string_view sessionId,
                         std::string_view chunkId, const std::filesystem::path& out,
                         const std::filesystem::path& chunksDirectory);

// What exportFrame wrote.
struct ExportedFrame {
  std::string sessionId;
  std::string chunkId;
  std::int64_t shownFromMs = 0;  // when the picture appeared on screen
  int width = 0;
  int height = 0;
  std::int64_t bytes = 0;
};

// Writes the recorded picture shown at `atMs` as a PNG to `out` (writeOutput). The chunk is
// the finished one covering `atMs` (start <= atMs < end) among the chunks of `sessionId`, or
// of every session whose time holds `atMs` when none is given.
ExportedFrame exportFrame(TolvoClient& client, const UISessionToken& token, std::int64_t atMs,
                          const std::optional<std::string>& sessionId, const std::filesystem::path& out,
                          const std::filesystem::path& chunksDirectory);

}  // namespace tolvo::ctl
