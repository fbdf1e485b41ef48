#pragma once

#include <memory>
#include <span>
#include <string>

namespace tolvo {

class ConnectionHandler;
class ReplySink;

// Turns one request line into one call of the connection's handler, or answers it with a
// JSON-RPC error when the line is not a valid call:
//   -32700  the line is not JSON (id null)
//   -32600  not an object, a batch (array), an id that is missing or neither a number nor a
//           string, "jsonrpc" other than "2.0", a method that is not a string, arrays and
//           objects nested more than 64 deep (id null)
//   -32601  a method outside the protocol table, or one the handler does not serve
//   -32602  params not an object, a missing parameter, a wrong JSON type, bad Base64
//   -32603  the handler raised before answering
// Parameters the operation does not declare are ignored. Nothing reaches the handler unless
// every check has passed. Runs on the connection's queue.
class RpcDispatcher {
 public:
  // Consumes `line` and wipes it (and the parsed JSON strings) before returning. Whatever
  // the line holds, nothing is built of it beyond the envelope and the scalar members of its
  // params: nested values are checked and skipped while they are read.
  static void dispatch(std::span<char> line, ConnectionHandler& handler, const std::shared_ptr<ReplySink>& sink);

  // The -32600 answer (id null) to a request line longer than the limit.
  [[nodiscard]] static std::string lineTooLongAnswer();
};

}  // namespace tolvo
