#include "client/tolvoctl/chunk_export.h"

#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "client/tolvoctl/output.h"
#include "core/error.h"
#include "core/file_util.h"
#include "core/mp4_boxes.h"
#include "crypto/qxv_reader.h"
#include "crypto/symmetric_key.h"
#include "media/chunk_frame_decoder.h"

namespace tolvo::ctl {

namespace {

// A chunk's file must stay inside the chunks directory.
bool isSafeRelativePath(const std::filesystem::path& relpath) {
  if (relpath.empty() || relpath.is_absolute()) return false;
  for (const auto& part : relpath) {
    if (part == "..") return false;
  }
  return true;
}

// The ids of the sessions whose time holds `atMs` (an open session holds everything after
// its start), read page by page.
std::vector<std::string> sessionsHolding(TolvoClient& client, const UISessionToken& token, std::int64_t atMs) {
  constexpr std::int64_t kPage = 200;
  std::vector<std::string> ids;
  for (std::int64_t offset = 0;; offset += kPage) {
    auto page = client.listSessions(token, kPage, offset);
    if (page.error) throw std::runtime_error(*page.error);
    const std::vector<Session> sessions = std::move(page.value).value_or(std::vector<Session>{});
    for (const auto& s : sessions) {
      if (s.startedAtMs <= atMs && (!s.endedAtMs || atMs <= *s.endedAtMs)) ids.push_back(s.id);
    }
    if (static_cast<std::int64_t>(sessions.size()) < kPage) return ids;
  }
}

}  // namespace

SecureBytes decryptChunk(TolvoClient& client, const UISessionToken& token, const Chunk& chunk,
                         const std::filesystem::path& chunksDirectory) {
  if (!chunk.mp4PlainLen) {
    throw std::runtime_error("chunk " + chunk.id + " is not finished yet (still being recorded, or needs `tolvoctl sessions repair`)");
  }
  const std::filesystem::path relpath(chunk.fileRelpath);
  if (!isSafeRelativePath(relpath)) throw std::runtime_error("chunk " + chunk.id + " has an unsafe file path: " + chunk.fileRelpath);

  auto key = client.getChunkKey(token, chunk.id);
  if (key.error) throw std::runtime_error(*key.error);
  if (!key.value) throw std::runtime_error("the service returned no key for chunk " + chunk.id);

  const std::filesystem::path file = chunksDirectory / relpath;
  const std::int64_t length = *chunk.mp4PlainLen;
  SecureBytes plaintext;
  try {
    SymmetricKey chunkKey(key.value->view());
    QXVReader reader(file, chunkKey);
    plaintext = SecureBytes(reader.readRange(0, length, length));
  } catch (const Error& e) {
    throw std::runtime_error("cannot decrypt " + file.string() + ": " + e.what());
  }
  if (static_cast<std::int64_t>(plaintext.size()) != length) {
    throw std::runtime_error("chunk file " + file.string() + " holds " + std::to_string(plaintext.size()) +
                             " bytes of video, expected " + std::to_string(length));
  }
  const std::size_t complete = completeMp4Prefix(plaintext.view());
  if (complete != 0 && complete < plaintext.size()) {
    Bytes& bytes = plaintext.mutableBytes();
    secureWipe(bytes.data() + complete, bytes.size() - complete);
    bytes.resize(complete);
  }
  return plaintext;
}

void writeOutput(const std::filesystem::path& out, ByteView data) {
  try {
    if (out == "-") {
      fs::writeAll(STDOUT_FILENO, data, "standard output");
    } else {
      fs::writeFileAtomically(out, data);
    }
  } catch (const Error& e) {
    throw std::runtime_error(e.what());
  }
}

std::int64_t exportChunk(TolvoClient& client, const UISessionToken& token, std::string_view sessionId,
                         std::string_view chunkId, const std::filesystem::path& out,
                         const std::filesystem::path& chunksDirectory) {
  auto chunks = client.listChunks(token, sessionId);
  if (chunks.error) throw std::runtime_error(*chunks.error);
  const Chunk* chunk = nullptr;
  if (chunks.value) {
    for (const auto& c : *chunks.value) {
      if (c.id == chunkId) chunk = &c;
    }
  }
  if (chunk == nullptr) {
    throw std::runtime_error("session " + std::string(sessionId) + " has no chunk " + std::string(chunkId));
  }
  const SecureBytes plaintext = decryptChunk(client, token, *chunk, chunksDirectory);
  writeOutput(out, plaintext.view());
  return static_cast<std::int64_t>(plaintext.size());
}

ExportedFrame exportFrame(TolvoClient& client, const UISessionToken& token, std::int64_t atMs,
                          const std::optional<std::string>& sessionId, const std::filesystem::path& out,
                          const std::filesystem::path& chunksDirectory) {
  const std::vector<std::string> sessionIds =
      sessionId ? std::vector<std::string>{*sessionId} : sessionsHolding(client, token, atMs);
  // A finished chunk is taken over one that was recovered without an end.
  std::optional<Chunk> found, unfinished;
  for (const auto& id : sessionIds) {
    auto chunks = client.listChunks(token, id);
    if (chunks.error) throw std::runtime_error(*chunks.error);
    for (const auto& c : chunks.value.value_or(std::vector<Chunk>{})) {
      if (c.startAtMs > atMs || (c.endAtMs && atMs >= *c.endAtMs)) continue;
      if (!c.mp4PlainLen || *c.mp4PlainLen <= 0) {
        if (!unfinished) unfinished = c;
      } else if (!found || (!found->endAtMs && c.endAtMs)) {
        found = c;
      }
    }
    if (found && found->endAtMs) break;
  }
  if (!found && unfinished) {
    throw std::runtime_error("the recording of " + formatTimeMs(atMs) + " is in chunk " + unfinished->id +
                             ", which is not finished yet (still being recorded, or needs `tolvoctl sessions repair`)");
  }
  if (!found) {
    throw std::runtime_error("Nothing was recorded at " + formatTimeMs(atMs) +
                             (sessionId ? " in session " + *sessionId : std::string()));
  }

  const SecureBytes mp4 = decryptChunk(client, token, *found, chunksDirectory);
  std::optional<VideoFrame> frame;
  Bytes png;
  try {
    frame = frameAt(mp4.view(), atMs - found->startAtMs, FramePixels::rgb);
    if (frame) png = encodePNG(*frame);
  } catch (const Error& e) {
    if (frame) secureWipe(frame->data.data(), frame->data.size());
    throw std::runtime_error("cannot decode chunk " + found->id + ": " + e.what());
  }
  if (!frame) throw std::runtime_error("chunk " + found->id + " holds no picture");
  secureWipe(frame->data.data(), frame->data.size());
  const SecureBytes picture(std::move(png));
  writeOutput(out, picture.view());
  return ExportedFrame{found->sessionId, found->id, found->startAtMs + frame->timeMs, frame->width, frame->height,
                       static_cast<std::int64_t>(picture.size())};
}

}  // namespace tolvo::ctl
