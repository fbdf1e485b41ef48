#include "pipeline/screen_text_store.h"

#include <unistd.h>

#include <system_error>
#include <utility>

#include <nlohmann/json.hpp>

#include "core/error.h"
#include "core/file_util.h"
#include "core/json_codec.h"
#include "core/time_util.h"
#include "core/vault_paths.h"
#include "crypto/encryption_utilities.h"
#include "crypto/key_manager.h"
#include "crypto/qxv_header.h"
#include "crypto/qxv_reader.h"
#include "crypto/qxv_writer.h"
#include "db/database_manager.h"
#include "pipeline/pipeline_error.h"

namespace tolvo {
namespace {

// The artifact's plaintext: {"chunkId": …, "lines": [{"text", "confidence", "box": {"x", "y",
// "width", "height"}, "firstSeenMs", "lastSeenMs"}, …]}.
nlohmann::json artifactJSON(const Chunk& chunk, const ChunkText& text) {
  auto lines = nlohmann::json::array();
  for (const ScreenTextLine& line : text.lines) {
    lines.push_back({{"text", line.text},
                     {"confidence", line.confidence},
                     {"box", {{"x", line.box.x}, {"y", line.box.y}, {"width", line.box.width}, {"height", line.box.height}}},
                     {"firstSeenMs", line.firstSeenMs},
                     {"lastSeenMs", line.lastSeenMs}});
  }
  return {{"chunkId", chunk.id}, {"lines", std::move(lines)}};
}

std::vector<ScreenTextLine> linesFromJSON(const nlohmann::json& document) {
  json::requireObject(document, "screen text");
  const auto& lines = document.at("lines");
  std::vector<ScreenTextLine> result;
  result.reserve(lines.size());
  for (const auto& entry : lines) {
    json::requireObject(entry, "screen text line");
    ScreenTextLine line;
    line.text = json::required<std::string>(entry, "text");
    line.confidence = static_cast<float>(json::required<double>(entry, "confidence"));
    const auto& box = entry.at("box");
    line.box = {box.at("x").get<int>(), box.at("y").get<int>(), box.at("width").get<int>(),
                box.at("height").get<int>()};
    line.firstSeenMs = json::required<std::int64_t>(entry, "firstSeenMs");
    line.lastSeenMs = json::required<std::int64_t>(entry, "lastSeenMs");
    result.push_back(std::move(line));
  }
  return result;
}

SymmetricKey chunkKey(const KeyManager& keys, const Chunk& chunk) {
  const auto master = keys.getMasterKey();
  if (!master) throw PipelineError(PipelineError::Kind::vaultLocked);
  return keys.deriveChunkKey(*master, chunk.id);
}

}  // namespace

ScreenTextStore::ScreenTextStore(DatabaseManager& database, const KeyManager& keys,
                                 std::filesystem::path artifactsDirectory, const Clock& clock)
    : database_(database), keys_(keys), artifactsDirectory_(std::move(artifactsDirectory)), clock_(clock) {}

std::string ScreenTextStore::artifactRelpath(const Chunk& chunk) { return chunk.id + ".ocr.qxv"; }

void ScreenTextStore::store(const Chunk& chunk, const ChunkText& text) const {
  const SymmetricKey key = chunkKey(keys_, chunk);
  const std::string relpath = artifactRelpath(chunk);
  const auto file = resolveInside(artifactsDirectory_, relpath);
  if (!file) throw PipelineError(PipelineError::Kind::chunkNotFound);
  // The artifacts folder is made inside an existing vault only: a vault deleted while a
  // chunk was being read is not brought back.
  if (!std::filesystem::is_directory(artifactsDirectory_.parent_path())) {
    throw PipelineError(PipelineError::Kind::chunkNotFound);
  }
  fs::ensurePrivateDirectory(artifactsDirectory_);

  const std::string plaintext = artifactJSON(chunk, text).dump();
  auto partial = *file;
  partial += ".partial";
  try {
    QXVWriter writer(partial, chunk.id, key, /*isArtifact=*/true);
    writer.write(asBytes(plaintext));
    (void)writer.finalize();
    std::filesystem::rename(partial, *file);
    fs::syncDirectory(artifactsDirectory_);
  } catch (...) {
    std::error_code ignored;
    std::filesystem::remove(partial, ignored);
    throw;
  }

  Artifact artifact{
      .id = EncryptionUtilities::randomUUID(),
      .sessionId = chunk.sessionId,
      .kind = ArtifactKind::ocr,
      .rangeStartMs = chunk.startAtMs,
      .rangeEndMs = chunk.endAtMs,
      .fileRelpath = relpath,
      .createdAtMs = toUnixMs(clock_.now()),
  };
  std::vector<IndexedTextLine> lines;
  lines.reserve(text.lines.size());
  for (const ScreenTextLine& line : text.lines) lines.push_back({line.text, line.firstSeenMs, line.lastSeenMs});
  bool stored = false;
  try {
    stored = database_.storeScreenText(artifact, chunk.id, lines);
  } catch (...) {
    std::error_code ignored;
    std::filesystem::remove(*file, ignored);
    throw;
  }
  // The session was deleted meanwhile: nothing of it may stay behind.
  if (!stored) {
    std::error_code ignored;
    std::filesystem::remove(*file, ignored);
    throw PipelineError(PipelineError::Kind::chunkNotFound);
  }
}

std::optional<std::vector<ScreenTextLine>> ScreenTextStore::load(const Chunk& chunk) const {
  const SymmetricKey key = chunkKey(keys_, chunk);
  const auto artifact = database_.screenTextArtifact(chunk.sessionId, artifactRelpath(chunk));
  if (!artifact || !artifact->fileRelpath) return std::nullopt;
  const auto file = resolveInside(artifactsDirectory_, *artifact->fileRelpath);
  if (!file) return std::nullopt;

  QXVReader reader(*file, key);
  // The file must be this chunk's artifact: one moved here from another chunk or kind does not
  // authenticate or is refused here.
  if (!reader.header().isArtifact() || reader.header().chunkId != chunk.id) {
    throw PipelineError(PipelineError::Kind::ocrFailed);
  }
  const auto length = QXVHeader::plaintextLengthFor(std::filesystem::file_size(*file), reader.header().pageSize);
  if (!length) throw PipelineError(PipelineError::Kind::ocrFailed);
  const Bytes plaintext = reader.readRange(0, static_cast<std::int64_t>(*length), static_cast<std::int64_t>(*length));
  try {
    return linesFromJSON(nlohmann::json::parse(plaintext.begin(), plaintext.end()));
  } catch (const nlohmann::json::exception&) {
    throw PipelineError(PipelineError::Kind::ocrFailed);
  }
}

}  // namespace tolvo
