#include "core/user_defaults.h"

#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>

#include "core/json_codec.h"
#include "core/tolvo_constants.h"

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

UserDefaults UserDefaults::standard() { return fromFile(TolvoConstants::Paths::userDefaultsFile()); }

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
  if (v == nullptr) return std::nullopt;
  return json::exactInt64(*v);
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
