#include "platform/linux/desktop_entries.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "core/handle.h"

namespace tolvo::desktop {
namespace {

namespace stdfs = std::filesystem;

// Subfolders of an applications directory are part of the file id ("kde4/app.desktop" is
// "kde4-app.desktop"); deeper trees than this are not scanned.
constexpr int kMaxDepth = 2;
// Directory entries looked at per rebuild, files and folders together.
constexpr std::size_t kMaxFilesSeen = 4 * DesktopEntryIndex::kMaxEntries;
constexpr std::size_t kMaxNameBytes = 1024;
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
constexpr std::string_view kSuffix = ".desktop";

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

// $XDG_DATA_HOME/applications, then each $XDG_DATA_DIRS/applications; relative entries are
// ignored as the base directory specification demands.
std::vector<stdfs::path> applicationDirectories() {
  std::vector<stdfs::path> result;
  auto add = [&](const stdfs::path& base) {
    if (base.empty() || !base.is_absolute()) return;
    stdfs::path dir = base / "applications";
    if (std::find(result.begin(), result.end(), dir) == result.end() &&
        result.size() < DesktopEntryIndex::kMaxDirectories) {
      result.push_back(std::move(dir));
    }
  };
  stdfs::path home = environment("XDG_DATA_HOME");
  if (home.empty() || !home.is_absolute()) {
    const std::string userHome = environment("HOME");
    home = userHome.empty() ? stdfs::path() : stdfs::path(userHome) / ".local" / "share";
  }
  add(home);
  std::string dirs = environment("XDG_DATA_DIRS");
  if (dirs.empty()) dirs = "/usr/local/share:/usr/share";
  for (std::size_t start = 0; start <= dirs.size();) {
    const std::size_t end = std::min(dirs.find(':', start), dirs.size());
    add(stdfs::path(dirs.substr(start, end - start)));
    start = end + 1;
  }
  return result;
}

std::string messagesLocale() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    std::string value = environment(name);
    if (!value.empty()) return value;
  }
  return {};
}

stdfs::file_time_type modifiedTime(const stdfs::path& dir) {
  std::error_code error;
  const auto time = stdfs::last_write_time(dir, error);
  return error ? stdfs::file_time_type::min() : time;
}

// The file's text when it is a regular file of at most kMaxFileBytes bytes.
std::optional<std::string> readBounded(const stdfs::path& path) {
  // O_NONBLOCK: a FIFO planted in the folder must not block the scan.
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) return std::nullopt;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0 ||
      std::uint64_t(info.st_size) > DesktopEntryIndex::kMaxFileBytes) {
    return std::nullopt;
  }
  std::string text(DesktopEntryIndex::kMaxFileBytes, '\0');
  std::size_t length = 0;
  while (length < text.size()) {
    const ssize_t n = ::read(fd.get(), text.data() + length, text.size() - length);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    length += std::size_t(n);
  }
  text.resize(length);
  return text;
}

std::string_view trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

// A localestring value: the escapes \s \n \t \r \\ resolved (the line breaks as spaces, a
// name being one line).
std::string unescape(std::string_view value) {
  std::string result;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      result.push_back(value[i]);
      continue;
    }
    const char next = value[++i];
    if (next == '\\') {
      result.push_back('\\');
    } else if (next == 's' || next == 'n' || next == 't' || next == 'r') {
      result.push_back(' ');
    } else {
      result.push_back('\\');
      result.push_back(next);
    }
  }
  return result;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

}  // namespace

std::string toValidUtf8(std::string_view bytes, std::size_t maxBytes) {
  std::string out;
  out.reserve(std::min(bytes.size(), maxBytes));
  auto append = [&](std::string_view piece) {
    if (out.size() + piece.size() > maxBytes) return false;
    out.append(piece);
    return true;
  };
  for (std::size_t i = 0; i < bytes.size();) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead == 0) break;
    std::size_t length = 0;
    std::uint32_t point = 0;
    std::uint32_t smallest = 0;
    // The sequence length, the lead's payload bits and the smallest code point that needs
    // this length (anything below is an overlong form); length 0 for a stray byte.
    if (lead < 0x80) {
      length = 1;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      point = lead & 0x1Fu;
      smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      point = lead & 0x0Fu;
      smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      point = lead & 0x07u;
      smallest = 0x10000;
    }
    bool valid = length > 0 && i + length <= bytes.size();
    for (std::size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      valid = (next & 0xC0) == 0x80;
      point = (point << 6) | (next & 0x3Fu);
    }
    if (valid && length > 1) valid = point >= smallest && point <= 0x10FFFF && (point < 0xD800 || point > 0xDFFF);
    std::string_view piece = bytes.substr(i, length);
    if (!valid) {
      piece = kReplacement;
      length = 1;
    } else if (length == 1 && (lead < 0x20 || lead == 0x7F)) {
      piece = " ";
    }
    if (!append(piece)) break;
    i += length;
  }
  return out;
}

std::vector<std::string> DesktopEntryIndex::localeKeys(std::string_view locale) {
  if (locale.empty() || locale == "C" || locale == "POSIX" || locale.starts_with("C.")) return {};
  const std::size_t langEnd = std::min(locale.find_first_of("_.@"), locale.size());
  const std::string lang(locale.substr(0, langEnd));
  std::string country;
  if (langEnd < locale.size() && locale[langEnd] == '_') {
    const std::size_t end = std::min(locale.find_first_of(".@", langEnd), locale.size());
    country = std::string(locale.substr(langEnd + 1, end - langEnd - 1));
  }
  std::string modifier;
  if (const std::size_t at = locale.find('@'); at != std::string_view::npos) modifier = std::string(locale.substr(at + 1));
  if (lang.empty()) return {};
  std::vector<std::string> keys;
  if (!country.empty() && !modifier.empty()) keys.push_back(lang + "_" + country + "@" + modifier);
  if (!country.empty()) keys.push_back(lang + "_" + country);
  if (!modifier.empty()) keys.push_back(lang + "@" + modifier);
  keys.push_back(lang);
  return keys;
}

std::optional<DesktopEntryIndex::Entry> DesktopEntryIndex::parse(std::string_view text,
                                                                 const std::vector<std::string>& localeKeys) {
  Entry entry;
  bool inGroup = false;
  bool sawGroup = false;
  bool hidden = false;
  std::size_t nameRank = localeKeys.size() + 1;  // lower is better; the plain Name ranks last
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() > kMaxLineBytes || line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      if (inGroup) break;  // only the [Desktop Entry] group is read
      inGroup = line == "[Desktop Entry]";
      sawGroup = sawGroup || inGroup;
      continue;
    }
    if (!inGroup) continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = trim(line.substr(0, equals));
    const std::string_view value = trim(line.substr(equals + 1));
    std::size_t rank = nameRank;
    if (key == "Name") {
      rank = localeKeys.size();
    } else if (key.starts_with("Name[") && key.ends_with("]")) {
      const std::string_view suffix = key.substr(5, key.size() - 6);
      rank = std::size_t(std::find(localeKeys.begin(), localeKeys.end(), suffix) - localeKeys.begin());
      if (rank == localeKeys.size()) continue;  // a language not asked for
    } else if (key == "Hidden") {
      hidden = value == "true";
    } else if (key == "StartupWMClass") {
      entry.startupWMClass = toValidUtf8(value, kMaxNameBytes);
    }
    if (rank < nameRank) {
      std::string name = toValidUtf8(unescape(value), kMaxNameBytes);
      if (!name.empty()) {
        entry.name = std::move(name);
        nameRank = rank;
      }
    }
  }
  if (!sawGroup || hidden || entry.name.empty()) return std::nullopt;
  return entry;
}

std::optional<std::string> DesktopEntryIndex::applicationName(std::string_view applicationId, std::string_view wmClass,
                                                              std::string_view wmInstance) {
  std::lock_guard lock(mutex_);
  refreshLocked();
  if (!applicationId.empty()) {
    std::string fileId(applicationId);
    if (!fileId.ends_with(kSuffix)) fileId += kSuffix;
    for (const Entry& entry : entries_) {
      if (entry.fileId == fileId) return entry.name;
    }
  }
  auto matches = [&](std::string_view candidate) {
    return !candidate.empty() && ((!wmClass.empty() && equalsIgnoringCase(candidate, wmClass)) ||
                                  (!wmInstance.empty() && equalsIgnoringCase(candidate, wmInstance)));
  };
  for (const Entry& entry : entries_) {
    if (matches(entry.startupWMClass)) return entry.name;
  }
  for (const Entry& entry : entries_) {
    if (matches(std::string_view(entry.fileId).substr(0, entry.fileId.size() - kSuffix.size()))) return entry.name;
  }
  return std::nullopt;
}

void DesktopEntryIndex::refreshLocked() {
  std::vector<stdfs::path> roots = applicationDirectories();
  std::string locale = messagesLocale();
  if (built_ && roots == roots_ && locale == locale_ &&
      std::all_of(stamps_.begin(), stamps_.end(),
                  [](const Stamp& stamp) { return modifiedTime(stamp.directory) == stamp.modified; })) {
    return;
  }
  const std::vector<std::string> keys = localeKeys(locale);
  std::vector<Stamp> stamps;
  std::set<std::string> seenIds;
  std::vector<Entry> entries;
  std::size_t filesSeen = 0;
  for (const stdfs::path& root : roots) scanDirectory(root, "", 0, keys, stamps, seenIds, entries, filesSeen);
  roots_ = std::move(roots);
  locale_ = std::move(locale);
  stamps_ = std::move(stamps);
  entries_ = std::move(entries);
  built_ = true;
}

void DesktopEntryIndex::scanDirectory(const stdfs::path& dir, const std::string& prefix, int depth,
                                      const std::vector<std::string>& keys, std::vector<Stamp>& stamps,
                                      std::set<std::string>& seenIds, std::vector<Entry>& entries,
                                      std::size_t& filesSeen) {
  if (stamps.size() >= kMaxDirectories) return;
  // A folder that does not exist yet is stamped too, so that its creation is noticed.
  stamps.push_back(Stamp{dir, modifiedTime(dir)});
  std::error_code error;
  stdfs::directory_iterator it(dir, error);
  std::vector<std::pair<std::string, bool>> children;  // name, is a folder
  for (const stdfs::directory_iterator end; !error && it != end && filesSeen < kMaxFilesSeen; it.increment(error)) {
    ++filesSeen;
    std::error_code typeError;
    const bool folder = it->is_directory(typeError);
    children.emplace_back(it->path().filename().string(), folder && !typeError);
  }
  std::sort(children.begin(), children.end());
  for (const auto& [name, folder] : children) {
    if (folder) {
      if (depth < kMaxDepth) scanDirectory(dir / name, prefix + name + "-", depth + 1, keys, stamps, seenIds, entries, filesSeen);
      continue;
    }
    if (!name.ends_with(kSuffix) || entries.size() >= kMaxEntries) continue;
    // The first folder that has a file id decides for it, even when its entry is hidden.
    if (!seenIds.insert(prefix + name).second) continue;
    const std::optional<std::string> text = readBounded(dir / name);
    if (!text) continue;
    std::optional<Entry> entry = parse(*text, keys);
    if (!entry) continue;
    entry->fileId = prefix + name;
    entries.push_back(std::move(*entry));
  }
}

}  // namespace tolvo::desktop
