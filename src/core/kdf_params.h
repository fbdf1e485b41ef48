#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "core/bytes.h"

namespace tolvo {

// How a password is stretched into the key-encryption key. All three JSON keys are required;
// `salt` is Base64. Unlocking never reads `algorithm`: the derivation is PBKDF2-HMAC-SHA256.
struct KDFParams {
  Bytes salt;
  std::int64_t iterations = 0;
  std::string algorithm = "PBKDF2-SHA256";
  bool operator==(const KDFParams&) const = default;
};

void to_json(nlohmann::json& j, const KDFParams& v);
void from_json(const nlohmann::json& j, KDFParams& v);

}  // namespace tolvo
