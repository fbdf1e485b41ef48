#include "client/tolvoctl/chunk_export.h"

#include <unistd.h>

#include <stdexcept>
#include <string>

#include "core/error.h"
#include "core/file_util.h"
#include "core/mp4_boxes.h"
#include "crypto/qxv_reader.h"
#include "crypto/symmetric_key.h"

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

}  // namespace

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
  if (!chunk->mp4PlainLen) {
    throw std::runtime_error("chunk " + chunk->id + " is not finished yet (still being recorded, or needs `tolvoctl sessions repair`)");
  }
  const std::filesystem::path relpath(chunk->fileRelpath);
  if (!isSafeRelativePath(relpath)) throw std::runtime_error("chunk " + chunk->id + " has an unsafe file path: " + chunk->fileRelpath);

  auto key = client.getChunkKey(token, chunk->id);
  if (key.error) throw std::runtime_error(*key.error);
  if (!key.value) throw std::runtime_error("the service returned no key for chunk " + chunk->id);

  const std::filesystem::path file = chunksDirectory / relpath;
  const std::int64_t length = *chunk->mp4PlainLen;
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
  // A chunk recovered after a crash ends inside its last fragment: that part is left out, so
  // the file plays to its end without a damaged last picture. What is not an MP4 stream with a
  // complete movie header is written as it is.
  const std::size_t complete = completeMp4Prefix(plaintext.view());
  const ByteView playable = complete == 0 ? plaintext.view() : plaintext.view().first(complete);
  try {
    if (out == "-") {
      fs::writeAll(STDOUT_FILENO, playable, "standard output");
    } else {
      fs::writeFileAtomically(out, playable);
    }
  } catch (const Error& e) {
    throw std::runtime_error(e.what());
  }
  return static_cast<std::int64_t>(playable.size());
}

}  // namespace tolvo::ctl
