#pragma once

#include "service/connection_handler.h"

namespace tolvo {

// The service front's seam in the process entry (main.cpp): the factory that makes the
// per-connection RecorderService, and the hook that tears the process-wide services down
// after the listener has stopped (on SIGTERM / SIGINT or when the main queue is stopped).
// Implemented by the service front.
//
// main() runs MainQueue::shared() on the main thread; when it stops (SIGTERM, SIGINT, or a
// MainQueue::shared().stop() from anywhere, say after terminateService has answered), main()
// stops the listener, which waits for handler calls in progress, then calls
// shutdownServices() and returns 0. So a handler must never block its connection's queue
// waiting for the main queue: post the work there and answer from it (RpcReply may be
// used from any thread).
[[nodiscard]] ConnectionHandlerFactory makeRecorderServiceFactory();
void shutdownServices();

}  // namespace tolvo
