#include "core/user_defaults.h"

#include <cmath>
#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>

namespace tolvo {

struct UserDefaults::Impl {
  nlohmann::json object = nlohmann::json::object();

  const nlohmann::json* find(std::string_view key) const {
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
  }
};

UserDefaults::UserDefaults() : impl_(std::make_unique<Impl>()) {}
UserDefaults::UserDefaults(const UserDefaults& other) : impl_(std::make_unique<Impl>(*other.impl_)) {}
UserDefaults& UserDefaults::operator=(const UserDefaults& other) {
  if (this != &other) *impl_ = *other.impl_;
  return *this;
}
UserDefaults::~UserDefaults() = default;

UserDefaults UserDefaults::fromJSONText(std::string_view text) {
  UserDefaults defaults;
  auto parsed = nlohmann::json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_discarded() && parsed.is_object()) defaults.impl_->object = std::move(parsed);
  return defaults;
}

UserDefaults UserDefaults::fromFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return UserDefaults();
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return fromJSONText(text);
}

std::optional<double> UserDefaults::number(std::string_view key) const {
  const auto* v = impl_->find(key);
  if (v == nullptr || !v->is_number()) return std::nullopt;
  return v->get<double>();
}

std::optional<std::int64_t> UserDefaults::integer(std::string_view key) const {
  const auto* v = impl_->find(key);
  if (v == nullptr || !v->is_number()) return std::nullopt;
  if (v->is_number_unsigned()) {
    auto u = v->get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<std::int64_t>(u);
  }
  if (v->is_number_integer()) return v->get<std::int64_t>();
  const double d = v->get<double>();
  if (!std::isfinite(d) || std::trunc(d) != d || d < -9.2233720368547758e18 || d >= 9.2233720368547758e18) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(d);
}

std::optional<bool> UserDefaults::boolean(std::string_view key) const {
  const auto* v = impl_->find(key);
  if (v == nullptr || !v->is_boolean()) return std::nullopt;
  return v->get<bool>();
}

std::optional<std::string> UserDefaults::string(std::string_view key) const {
  const auto* v = impl_->find(key);
  if (v == nullptr || !v->is_string()) return std::nullopt;
  return v->get<std::string>();
}

}  // namespace tolvo

#include "core/tolvo_constants.h"

namespace tolvo {
UserDefaults UserDefaults::standard() { return fromFile(TolvoConstants::Paths::userDefaultsFile()); }
}  // namespace tolvo
