#pragma once

#include <string>

#include "core/error.h"

namespace tolvo {

// A failure of the conversation with the service, as opposed to an operation that the
// service ran and that failed (those come back as values: ok == false, error text).
class ClientError : public Error {
 public:
  enum class Kind {
    noService,       // nothing listens on the socket (or it cannot be reached in time)
    connectionLost,  // the connection closed or failed while a call was waiting
    timeout,         // no answer within the reply timeout
    protocol,        // the answer does not have the documented form
    rpc,             // the service answered with a JSON-RPC error; code() holds its code
  };

  ClientError(Kind kind, const std::string& description, int code = 0)
      : Error(description), kind_(kind), code_(code) {}

  [[nodiscard]] Kind kind() const noexcept { return kind_; }
  // The JSON-RPC error code (-32700 … -32603) for Kind::rpc, else 0.
  [[nodiscard]] int code() const noexcept { return code_; }

 private:
  Kind kind_;
  int code_;
};

}  // namespace tolvo
