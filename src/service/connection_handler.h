#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "service/rpc_params.h"
#include "service/rpc_reply.h"

namespace tolvo {

// The object that serves one accepted connection (the service front plugs its per-connection
// state in here). The listener creates one per connection through a ConnectionHandlerFactory
// and destroys it after the connection has closed and its last call has returned.
//
// Threading: handles() and handle() are called only on the connection's own serial queue,
// one call at a time, in the order the requests arrived. handle() receives parameters that
// already match the operation's table entry (names, JSON types, Base64); it must answer
// through `reply` exactly once, before it returns or later from any thread.
class ConnectionHandler {
 public:
  virtual ~ConnectionHandler() = default;

  // Whether this handler serves `method` (an operation of the protocol table). Calls of a
  // method it does not serve are answered with -32601 without reaching handle().
  [[nodiscard]] virtual bool handles(std::string_view method) const = 0;

  virtual void handle(std::string_view method, const RpcParams& params, RpcReply reply) = 0;
};

// Called on the listener's I/O thread for every accepted connection; must not block.
// A factory that throws or returns nothing makes the listener close that connection.
using ConnectionHandlerFactory = std::function<std::unique_ptr<ConnectionHandler>()>;

}  // namespace tolvo
