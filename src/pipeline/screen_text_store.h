#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/records.h"
#include "pipeline/chunk_text_recognition.h"

namespace tolvo {

class Clock;
class DatabaseManager;
class KeyManager;

// Where the text recognized in a chunk is kept: an encrypted artifact file per chunk (an
// artifact-kind QXV file under the chunk's own key, named after the chunk, in the vault's
// artifacts folder) holding the lines as JSON, its `ocr` row in `artifacts`, and the lines in
// the database's full-text index.
//
// Errors: PipelineError(vaultLocked) without a master key; the file's errors (SystemError,
// QXVError, CipherError) and the database's.
class ScreenTextStore {
 public:
  ScreenTextStore(DatabaseManager& database, const KeyManager& keys, std::filesystem::path artifactsDirectory,
                  const Clock& clock);

  // The artifact file's path relative to the artifacts folder.
  [[nodiscard]] static std::string artifactRelpath(const Chunk& chunk);

  // Writes the artifact file (under a temporary name, renamed when complete), then records the
  // artifact and indexes the lines in one transaction, replacing what an earlier recognition
  // of the chunk stored. When the database refuses, or the chunk is no longer in it (its
  // session was deleted meanwhile: PipelineError(chunkNotFound)), the new file is removed.
  void store(const Chunk& chunk, const ChunkText& text) const;

  // The lines stored for the chunk, read back from its artifact file; nothing when the chunk's
  // text has not been recognized.
  [[nodiscard]] std::optional<std::vector<ScreenTextLine>> load(const Chunk& chunk) const;

 private:
  DatabaseManager& database_;
  const KeyManager& keys_;
  std::filesystem::path artifactsDirectory_;
  const Clock& clock_;
};

}  // namespace tolvo
