#pragma once

#include <string>

namespace tolvo {

// Where the answers of one connection go. Implemented by the connection's channel (and by
// tests). Thread-safe: answers may come from any thread.
class ReplySink {
 public:
  virtual ~ReplySink() = default;

  // Queues one complete JSON text (without the '\n') that answers one request. Takes the
  // text; the sink wipes it once written. A no-op once the connection is gone.
  virtual void sendReply(std::string line) = 0;

  // Queues a last line that answers no request, then closes the connection once everything
  // queued has been written. Later answers are dropped.
  virtual void sendFinalLine(std::string line) = 0;
};

}  // namespace tolvo
