#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/bytes.h"
#include "core/service_protocol.h"

namespace tolvo {

// Raised while building RpcParams from a request whose params do not match the operation's
// table entry; what() is the message of the -32602 error.
class InvalidParamsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The validated parameters of one call, typed as the protocol table declares them. Text and
// decoded byte values are wiped when the object is destroyed.
//
// The accessors raise std::logic_error only on a programming error: a name that the
// operation does not declare, or the accessor of another type. An optional parameter that
// was null or left out is read with optionalText() or optionalInteger(); text() or integer()
// on it raises std::logic_error.
class RpcParams {
 public:
  // Checks `params` (a JSON object; null counts as {}) against `operation`: every
  // non-optional parameter present and non-null, every value of its declared JSON type,
  // byte strings strict Base64. Keys the operation does not declare are ignored. Text values
  // are moved out of `params`, not copied.
  // Raises InvalidParamsError with a message naming the first parameter at fault.
  [[nodiscard]] static RpcParams fromJson(const ServiceProtocol::OperationSpec& operation, nlohmann::json& params);

  RpcParams() = default;
  RpcParams(const RpcParams&) = default;
  RpcParams& operator=(const RpcParams&);
  RpcParams(RpcParams&&) noexcept = default;
  RpcParams& operator=(RpcParams&&) noexcept;
  ~RpcParams();

  [[nodiscard]] const std::string& text(std::string_view name) const;
  [[nodiscard]] std::optional<std::string> optionalText(std::string_view name) const;
  [[nodiscard]] const Bytes& bytes(std::string_view name) const;
  [[nodiscard]] bool boolean(std::string_view name) const;
  [[nodiscard]] std::int64_t integer(std::string_view name) const;
  [[nodiscard]] std::optional<std::int64_t> optionalInteger(std::string_view name) const;
  [[nodiscard]] double real(std::string_view name) const;

  // Whether the parameter was given with a non-null value.
  [[nodiscard]] bool has(std::string_view name) const;

 private:
  struct Entry {
    std::string_view name;  // points into the static protocol table
    ServiceProtocol::ParamType type = ServiceProtocol::ParamType::text;
    bool present = false;
    std::string text;
    Bytes bytes;
    bool boolean = false;
    std::int64_t integer = 0;
    double real = 0;
  };

  [[nodiscard]] const Entry& entry(std::string_view name, ServiceProtocol::ParamType type) const;
  void wipe() noexcept;

  std::vector<Entry> entries_;
};

}  // namespace tolvo
