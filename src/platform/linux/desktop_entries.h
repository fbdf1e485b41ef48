#pragma once

// Shared by the X11 implementations in this folder (not an interface of the platform layer).

#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tolvo::desktop {

// `bytes` as valid UTF-8 of at most `maxBytes` bytes: invalid or incomplete sequences become
// U+FFFD, control characters a space, a NUL ends the text, and the text is cut at a character
// boundary.
[[nodiscard]] std::string toValidUtf8(std::string_view bytes, std::size_t maxBytes);

// The installed applications' desktop entries (freedesktop.org Desktop Entry files), read
// from $XDG_DATA_HOME/applications and each $XDG_DATA_DIRS/applications, and the names they
// give. The index is built on first use and rebuilt when the directory list, the locale or
// the modification time of one of the scanned directories changes. Every read is bounded:
// files over kMaxFileBytes, lines over kMaxLineBytes and entries beyond kMaxEntries are
// skipped. Thread-safe.
class DesktopEntryIndex {
 public:
  static constexpr std::size_t kMaxFileBytes = 64 * 1024;
  static constexpr std::size_t kMaxLineBytes = 4 * 1024;
  static constexpr std::size_t kMaxEntries = 4096;
  static constexpr std::size_t kMaxDirectories = 256;

  DesktopEntryIndex() = default;
  DesktopEntryIndex(const DesktopEntryIndex&) = delete;
  DesktopEntryIndex& operator=(const DesktopEntryIndex&) = delete;

  // The Name (localized for the current locale where the entry has one) of the entry for an
  // application: the entry whose desktop file id is `applicationId` + ".desktop"; otherwise
  // the first entry whose StartupWMClass, then whose file id without ".desktop", equals
  // `wmClass` or `wmInstance` ignoring ASCII case. Empty arguments match nothing; entries
  // marked Hidden or without a Name are not listed. Earlier directories win.
  [[nodiscard]] std::optional<std::string> applicationName(std::string_view applicationId, std::string_view wmClass,
                                                           std::string_view wmInstance);

  struct Entry {
    std::string fileId;          // "org.example.App.desktop" (subfolders joined with '-')
    std::string name;            // the localized Name, else Name
    std::string startupWMClass;  // empty when absent
  };

  // Parses the [Desktop Entry] group of one file's text; nullopt when it has no Name, is
  // Hidden, or the text is not a desktop entry. `localeKeys` are the Name[...] suffixes to
  // prefer, best first.
  [[nodiscard]] static std::optional<Entry> parse(std::string_view text, const std::vector<std::string>& localeKeys);

  // The Name[...] suffixes for a POSIX locale name ("de_DE.UTF-8@euro" gives de_DE@euro,
  // de_DE, de@euro, de), best first; none for "C" and "POSIX".
  [[nodiscard]] static std::vector<std::string> localeKeys(std::string_view locale);

 private:
  struct Stamp {
    std::filesystem::path directory;
    std::filesystem::file_time_type modified;
    bool operator==(const Stamp&) const = default;
  };

  void refreshLocked();
  static void scanDirectory(const std::filesystem::path& dir, const std::string& prefix, int depth,
                     const std::vector<std::string>& keys, std::vector<Stamp>& stamps,
                     std::set<std::string>& seenIds, std::vector<Entry>& entries, std::size_t& filesSeen);

  std::mutex mutex_;
  bool built_ = false;
  std::vector<std::filesystem::path> roots_;
  std::string locale_;
  std::vector<Stamp> stamps_;
  std::vector<Entry> entries_;  // in precedence order, one per file id
};

}  // namespace tolvo::desktop
