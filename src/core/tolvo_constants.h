#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string_view>

// Locations, file-format magics and secret-store names shared by every layer.
namespace tolvo::TolvoConstants {

namespace Paths {

// The process's temporary directory: $TMPDIR when set, else $XDG_RUNTIME_DIR, else
// /tmp/tolvodesk-<uid> (made 0700 and checked to be the user's). Computed on each call.
[[nodiscard]] std::filesystem::path temporaryDirectory();

// <tmp>/TolvoDeskUITest: diagnostic log, UI test marker, UI test keychain. Made 0700 when
// `create` is set (a failure is ignored; later file operations report it).
[[nodiscard]] std::filesystem::path uiTestDirectory(bool create = true);

// ${XDG_DATA_HOME:-~/.local/share}/TolvoDesk, or <tmp>/TolvoDeskUITest/AppData in UI test
// mode. Created (0700) with missing parents on each call; a failure to create is ignored.
[[nodiscard]] std::filesystem::path applicationSupport();
[[nodiscard]] std::filesystem::path vaultDirectory();
[[nodiscard]] std::filesystem::path chunksDirectory();
[[nodiscard]] std::filesystem::path artifactsDirectory();
[[nodiscard]] std::filesystem::path databasePath();

// ${XDG_CONFIG_HOME:-~/.config}/TolvoDesk/defaults.json (not created).
[[nodiscard]] std::filesystem::path userDefaultsFile();

// The user's home directory: $HOME, else the password database entry.
[[nodiscard]] std::filesystem::path homeDirectory();

}  // namespace Paths

namespace FileFormat {
inline constexpr std::array<std::uint8_t, 4> qxvMagic{'Q', 'X', 'V', '1'};
inline constexpr std::array<std::uint8_t, 4> qxaMagic{'Q', 'X', 'A', '1'};
}  // namespace FileFormat

namespace Keychain {
inline constexpr std::string_view sharedAccessGroup = "9KQ5ZR2WL7.com.tolvoworks.tolvodesk.shared";
inline constexpr std::string_view biometricAccessGroup = "9KQ5ZR2WL7.com.tolvoworks.tolvodesk.biometric";
}  // namespace Keychain

}  // namespace tolvo::TolvoConstants
