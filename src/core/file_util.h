#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "core/bytes.h"
#include "core/handle.h"

// File helpers with the service's safety rules: directories are made 0700 and must belong
// to the user, files are made 0600 and opened without following symbolic links.
// Every failure raises SystemError with the errno of the call that failed.
namespace tolvo::fs {

using Path = std::filesystem::path;

// Creates `dir` and its missing parents, each new one with mode 0700. The final directory
// must be a real directory (not a symbolic link) owned by the calling user; otherwise
// raises SystemError (EEXIST-like for a non-directory, EPERM for a foreign owner).
void ensurePrivateDirectory(const Path& dir);

// Opens `path` for appending (created 0600 when absent), refusing symbolic links.
[[nodiscard]] FileDescriptor openForAppend(const Path& path);

// Appends all of `data` to `path` (created 0600 when absent) with one write sequence on an
// O_APPEND descriptor, refusing symbolic links.
void appendToFile(const Path& path, ByteView data);

// Replaces `path` atomically: writes a new 0600 file beside it, flushes it, renames it over
// `path` and flushes the directory. A crash leaves either the old or the new content; once
// it returns, the new content survives a power loss. A failure to flush the directory
// raises although the new content is already in place.
void writeFileAtomically(const Path& path, ByteView data);

// Flushes the directory itself (its entries: files created, renamed or removed in it) to
// stable storage.
void syncDirectory(const Path& dir);

// Reads the whole file; nothing when it does not exist. Refuses symbolic links.
[[nodiscard]] std::optional<Bytes> readFileIfExists(const Path& path);

// Removes the file; false when it did not exist.
bool removeFileIfExists(const Path& path);

// True when something (not following a final symbolic link) exists at `path`.
[[nodiscard]] bool exists(const Path& path) noexcept;

// Writes all bytes to `fd`, retrying short writes and EINTR.
void writeAll(int fd, ByteView data, const Path& pathForErrors);

}  // namespace tolvo::fs
