#pragma once

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "core/service_protocol.h"

namespace tolvo {

class ReplySink;

// The answer to one request. A copyable handle: every copy refers to the same answer, the
// first send() (or sendError()) wins and later ones are ignored. Callable from any thread;
// a no-op once the connection is gone.
//
// If every copy is destroyed without an answer, the request is answered with a -32603
// internal error, so a client never waits for an answer that cannot come.
class RpcReply {
 public:
  // `operation` may be null (for answers to requests that named no known operation).
  RpcReply(std::weak_ptr<ReplySink> sink, nlohmann::json id, const ServiceProtocol::OperationSpec* operation);

  // Answers with a result object, e.g. {"ok":true,"error":null}. Result keys of the operation
  // that `result` lacks are sent as null. String values are wiped once encoded.
  void send(nlohmann::json result) const;

  // Answers with a JSON-RPC error (transport failures only; operation failures are results).
  void sendError(int code, std::string message) const;

  // Whether an answer has been sent (or dropped because the connection was gone).
  [[nodiscard]] bool sent() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// The JSON-RPC response texts (compact, no newline), shared with the dispatcher.
// encodeResult wipes the strings of `result` once encoded.
[[nodiscard]] std::string encodeResult(const nlohmann::json& id, nlohmann::json result);
[[nodiscard]] std::string encodeError(const nlohmann::json& id, int code, std::string_view message);


}  // namespace tolvo
