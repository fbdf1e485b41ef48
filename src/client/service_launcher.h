#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>

#include "client/tolvo_client.h"

namespace tolvo {

// Starts tolvo-recorder-service on demand, the way tolvoctl does when nothing answers.
class ServiceLauncher {
 public:
  static constexpr std::string_view kExecutableName = "tolvo-recorder-service";

  // The service executable: the one beside the running program first, then the first match
  // on $PATH. Nothing when there is none.
  [[nodiscard]] static std::optional<std::filesystem::path> findServiceExecutable();

  // Starts `executable --socket socketPath` in the background (its own session, standard
  // streams on /dev/null) and waits up to `timeout` until it accepts a connection, which is
  // returned. Raises ClientError(noService) with a message for a person when it exits or
  // does not come up in time.
  [[nodiscard]] static std::unique_ptr<TolvoClient> launch(const std::filesystem::path& executable,
                                                           const std::filesystem::path& socketPath,
                                                           TolvoClient::Options options,
                                                           std::chrono::milliseconds timeout);

  // Connects to `socketPath`; when nothing answers and `allowSpawn` is set, finds and
  // launches the service first.
  [[nodiscard]] static std::unique_ptr<TolvoClient> connect(const std::filesystem::path& socketPath, bool allowSpawn,
                                                            TolvoClient::Options options = {},
                                                            std::chrono::milliseconds launchTimeout = std::chrono::seconds(10));
};

}  // namespace tolvo
