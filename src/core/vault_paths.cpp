#include "core/vault_paths.h"

namespace tolvo {

std::optional<std::filesystem::path> resolveInside(const std::filesystem::path& base, std::string_view relativePath) {
  if (relativePath.empty() || relativePath.find('\0') != std::string_view::npos) return std::nullopt;
  const std::filesystem::path rel(relativePath);
  if (rel.is_absolute()) return std::nullopt;
  for (const auto& part : rel) {
    if (part == ".." || part == ".") return std::nullopt;
  }
  return base / rel;
}

}  // namespace tolvo
