#include "service/rpc_params.h"

#include <limits>

#include <nlohmann/json.hpp>

#include "core/base64.h"

namespace tolvo {

using ServiceProtocol::ParamType;

namespace {

std::string typeError(const ServiceProtocol::ParamSpec& spec) {
  return "parameter \"" + std::string(spec.name) + "\" must be " + std::string(ServiceProtocol::paramTypeName(spec.type));
}

}  // namespace

RpcParams RpcParams::fromJson(const ServiceProtocol::OperationSpec& operation, nlohmann::json& params) {
  if (!params.is_null() && !params.is_object()) throw InvalidParamsError("params must be an object");
  RpcParams result;
  result.entries_.reserve(operation.params.size());
  for (const auto& spec : operation.params) {
    Entry entry;
    entry.name = spec.name;
    entry.type = spec.type;
    nlohmann::json* value = nullptr;
    if (params.is_object()) {
      auto it = params.find(spec.name);
      if (it != params.end() && !it->is_null()) value = &*it;
    }
    if (value == nullptr) {
      if (!spec.optional) throw InvalidParamsError("missing parameter \"" + std::string(spec.name) + "\"");
      result.entries_.push_back(std::move(entry));
      continue;
    }
    entry.present = true;
    switch (spec.type) {
      case ParamType::text:
        if (!value->is_string()) throw InvalidParamsError(typeError(spec));
        entry.text = std::move(value->get_ref<std::string&>());
        break;
      case ParamType::bytes: {
        if (!value->is_string()) throw InvalidParamsError(typeError(spec));
        auto decoded = base64Decode(value->get_ref<const std::string&>());
        if (!decoded) throw InvalidParamsError("parameter \"" + std::string(spec.name) + "\" is not valid Base64");
        entry.bytes = std::move(*decoded);
        break;
      }
      case ParamType::boolean:
        if (!value->is_boolean()) throw InvalidParamsError(typeError(spec));
        entry.boolean = value->get<bool>();
        break;
      case ParamType::integer:
        if (value->is_number_unsigned()) {
          auto u = value->get<std::uint64_t>();
          if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            throw InvalidParamsError(typeError(spec));
          }
          entry.integer = static_cast<std::int64_t>(u);
        } else if (value->is_number_integer()) {
          entry.integer = value->get<std::int64_t>();
        } else {
          throw InvalidParamsError(typeError(spec));
        }
        break;
      case ParamType::real:
        if (!value->is_number()) throw InvalidParamsError(typeError(spec));
        entry.real = value->get<double>();
        break;
    }
    result.entries_.push_back(std::move(entry));
  }
  return result;
}

RpcParams& RpcParams::operator=(const RpcParams& other) {
  if (this != &other) {
    wipe();
    entries_ = other.entries_;
  }
  return *this;
}

RpcParams& RpcParams::operator=(RpcParams&& other) noexcept {
  if (this != &other) {
    wipe();
    entries_ = std::move(other.entries_);
    other.entries_.clear();
  }
  return *this;
}

RpcParams::~RpcParams() { wipe(); }

void RpcParams::wipe() noexcept {
  for (auto& e : entries_) {
    secureWipe(e.text.data(), e.text.size());
    secureWipe(e.bytes.data(), e.bytes.size());
  }
}

const RpcParams::Entry& RpcParams::entry(std::string_view name, ParamType type) const {
  for (const auto& e : entries_) {
    if (e.name != name) continue;
    if (e.type != type) {
      throw std::logic_error("RpcParams: parameter \"" + std::string(name) + "\" is not " +
                             std::string(ServiceProtocol::paramTypeName(type)));
    }
    return e;
  }
  throw std::logic_error("RpcParams: no parameter \"" + std::string(name) + "\"");
}

const std::string& RpcParams::text(std::string_view name) const {
  const Entry& e = entry(name, ParamType::text);
  if (!e.present) throw std::logic_error("RpcParams: optional parameter \"" + std::string(name) + "\" read with text()");
  return e.text;
}

std::optional<std::string> RpcParams::optionalText(std::string_view name) const {
  const Entry& e = entry(name, ParamType::text);
  if (!e.present) return std::nullopt;
  return e.text;
}

const Bytes& RpcParams::bytes(std::string_view name) const { return entry(name, ParamType::bytes).bytes; }
bool RpcParams::boolean(std::string_view name) const { return entry(name, ParamType::boolean).boolean; }
std::int64_t RpcParams::integer(std::string_view name) const {
  const Entry& e = entry(name, ParamType::integer);
  if (!e.present) {
    throw std::logic_error("RpcParams: optional parameter \"" + std::string(name) + "\" read with integer()");
  }
  return e.integer;
}

std::optional<std::int64_t> RpcParams::optionalInteger(std::string_view name) const {
  const Entry& e = entry(name, ParamType::integer);
  if (!e.present) return std::nullopt;
  return e.integer;
}
double RpcParams::real(std::string_view name) const { return entry(name, ParamType::real).real; }

bool RpcParams::has(std::string_view name) const {
  for (const auto& e : entries_) {
    if (e.name == name) return e.present;
  }
  throw std::logic_error("RpcParams: no parameter \"" + std::string(name) + "\"");
}

}  // namespace tolvo
