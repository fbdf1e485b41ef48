#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "core/bytes.h"
#include "core/records.h"

namespace tolvo {

class KeyManager;

// The recorded video of a summary window as one ordinary MP4 (movie header first), made from
// the window's encrypted chunks. Every decrypted byte stays in memory or in anonymous memory
// files: nothing decrypted is written to a named file.
//
// Errors: PipelineError(noRelevantRecording) for no chunks, (vaultLocked) without a master
// key, (chunkNotFound) for a missing chunk file or a plaintext length that is unknown or
// below 1; the reader's own errors (QXVError, CipherError, SystemError) for a file that does
// not open or authenticate; PipelineError::remoteRequestFailed("…") for a join that libavformat
// refuses, with its reason.
//
// REQUIRES: external synchronization (one thread or serial queue at a time).
class SummaryVideoExport {
 public:
  // `chunksDirectory`: where a chunk's `fileRelpath` is resolved (a path leaving it counts as
  // a missing file).
  SummaryVideoExport(const KeyManager& keys, std::filesystem::path chunksDirectory);

  // One chunk's plaintext MP4 when there is one chunk; otherwise the chunks that hold a
  // picture joined by stream copy in the given order, each starting where the previous one ended (video and, where
  // present, audio; a chunk without audio leaves a gap in the audio track, one without video
  // is skipped without moving the time line).
  [[nodiscard]] Bytes exportSummaryWindowChunks(const std::vector<Chunk>& chunks) const;

  // The chunk's plaintext MP4 up to its last complete fragment (a chunk recovered after a
  // crash ends inside one; a finalized chunk is returned whole).
  [[nodiscard]] Bytes exportSummaryChunk(const Chunk& chunk) const;

  // The MP4 streams joined one after another (see exportSummaryWindowChunks). Each part is
  // released as soon as it has been copied.
  [[nodiscard]] Bytes mergeSummaryVideoFiles(std::vector<Bytes> parts) const;

 private:
  // The chunk's plaintext up to its last complete fragment; nothing when it holds no complete
  // picture. Raises the errors of exportSummaryChunk otherwise.
  [[nodiscard]] std::optional<Bytes> playablePlaintext(const Chunk& chunk) const;

  const KeyManager& keys_;
  std::filesystem::path chunksDirectory_;
};

}  // namespace tolvo
