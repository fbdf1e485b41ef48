#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace tolvo {

// The file at `base` / `relativePath` when the relative path stays inside `base`: not empty,
// not absolute, no "." or ".." components. A path read from the database that would leave the
// vault folder gives nothing, so no file outside it is ever read or removed.
[[nodiscard]] std::optional<std::filesystem::path> resolveInside(const std::filesystem::path& base,
                                                                 std::string_view relativePath);

}  // namespace tolvo
