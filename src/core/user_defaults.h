#pragma once

#include <filesystem>
#include <memory>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tolvo {

// The user's defaults: a JSON object read from a file (normally
// ${XDG_CONFIG_HOME:-~/.config}/TolvoDesk/defaults.json). A missing, unreadable or malformed
// file, or one whose top level is not an object, gives an empty store. Read only.
class UserDefaults {
 public:
  // The defaults of the user's file, read now.
  [[nodiscard]] static UserDefaults standard();
  [[nodiscard]] static UserDefaults fromFile(const std::filesystem::path& path);
  // From JSON text (for tests and embedding); malformed text gives an empty store.
  [[nodiscard]] static UserDefaults fromJSONText(std::string_view text);

  UserDefaults();
  UserDefaults(const UserDefaults&);
  UserDefaults& operator=(const UserDefaults&);
  ~UserDefaults();

  // Each accessor gives a value only when the stored one converts to the type without loss.
  [[nodiscard]] std::optional<double> number(std::string_view key) const;
  [[nodiscard]] std::optional<std::int64_t> integer(std::string_view key) const;
  [[nodiscard]] std::optional<bool> boolean(std::string_view key) const;
  [[nodiscard]] std::optional<std::string> string(std::string_view key) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tolvo
