// tolvo-recorder-service: the background service. Listens on its Unix socket (or the one
// systemd hands over), serves each connection with a RecorderService, and runs the main
// queue on the main thread until SIGTERM, SIGINT or a stop of the main queue.
#include <malloc.h>
#include <signal.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

#include "core/diagnostic_log.h"
#include "core/service_protocol.h"
#include "service/main_queue.h"
#include "service/recorder_service_factory.h"
#include "service/service_listener.h"
#include "service/signal_watcher.h"

#ifndef TOLVO_VERSION
#define TOLVO_VERSION "0.0.0"
#endif

int main(int argc, char** argv) {
  using namespace tolvo;

  CLI::App app{"TolvoDesk recorder service: records the screen into an encrypted vault and serves "
               "local clients over a Unix socket."};
  app.name("tolvo-recorder-service");
  std::string socketOption;
  bool uiTestMode = false;
  bool version = false;
  app.add_option("--socket", socketOption,
                 "Socket path (default: $TOLVO_SOCKET, else $XDG_RUNTIME_DIR/tolvodesk/recorder.sock, "
                 "else /tmp/tolvodesk-<uid>/recorder.sock)");
  app.add_flag("--uitest-mode", uiTestMode, "Keep all data under the temporary directory, secrets in files");
  app.add_flag("--version", version, "Print the version and exit");
  CLI11_PARSE(app, argc, argv);
  (void)uiTestMode;  // read through the process arguments wherever UI test mode matters

  if (version) {
    std::printf("tolvo-recorder-service %s\n", TOLVO_VERSION);
    return 0;
  }

  // Buffers of a large request or answer go back to the system as soon as they are freed:
  // a fixed threshold keeps the allocator from raising it after the first large buffer and
  // then keeping such buffers in its heap for the rest of a day-long run.
  (void)::mallopt(M_MMAP_THRESHOLD, 256 * 1024);

  try {
    // Before any thread starts, so that only the watcher receives these signals.
    SignalWatcher::blockInThisThread({SIGTERM, SIGINT, SIGHUP});
    MainQueue& mainQueue = MainQueue::shared();
    SignalWatcher signals({SIGTERM, SIGINT, SIGHUP}, [&mainQueue](int signal) {
      if (signal == SIGHUP) return;  // no configuration to reload; do not die with the terminal
      mainQueue.stop();
    });

    ServiceListener listener(makeRecorderServiceFactory());
    if (!listener.adoptSystemdSocket()) {
      std::optional<std::filesystem::path> explicitPath;
      if (!socketOption.empty()) explicitPath = socketOption;
      listener.bindSocket(ServiceProtocol::socketPath(explicitPath));
    }
    listener.start();
    DiagnosticLog::system("listening on " + listener.socketPath().string());

    mainQueue.run();

    DiagnosticLog::system("stopping");
    listener.stop();
    shutdownServices();
    return 0;
  } catch (const ServiceListenerError& e) {
    DiagnosticLog::system(e.what());
    std::fprintf(stderr, "tolvo-recorder-service: %s\n", e.what());
    return e.kind() == ServiceListenerError::Kind::alreadyRunning ? 3 : 1;
  } catch (const std::exception& e) {
    DiagnosticLog::system(e.what());
    std::fprintf(stderr, "tolvo-recorder-service: %s\n", e.what());
    return 1;
  }
}
