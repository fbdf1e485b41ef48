#include "core/kdf_params.h"

#include "core/json_codec.h"

namespace tolvo {

void to_json(nlohmann::json& j, const KDFParams& v) {
  j = nlohmann::json::object();
  json::put(j, "salt", v.salt);
  json::put(j, "iterations", v.iterations);
  json::put(j, "algorithm", v.algorithm);
}

void from_json(const nlohmann::json& j, KDFParams& v) {
  json::requireObject(j, "KDFParams");
  v.salt = json::required<Bytes>(j, "salt");
  v.iterations = json::required<std::int64_t>(j, "iterations");
  v.algorithm = json::required<std::string>(j, "algorithm");
}

}  // namespace tolvo
