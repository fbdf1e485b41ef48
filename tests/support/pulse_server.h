#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace tolvo::test {

// A private PulseAudio server for one test (`pulseaudio -n`, as root too): a null sink
// "nullsink" whose monitor is the default source, and the native protocol on
// <runtimeDir>/pulse/native, where libpulse looks when XDG_RUNTIME_DIR is runtimeDir.
// Construction returns once the socket accepts connections, else raises std::runtime_error
// with the server's log. Logs and the tone live below <runtimeDir>/pulse-server. The
// destructor ends the server and the player. The environment is not touched.
class PulseServer {
 public:
  [[nodiscard]] static bool available();  // pulseaudio, pactl and pacat are installed

  explicit PulseServer(const std::filesystem::path& runtimeDir);
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;
  ~PulseServer();

  // The server address in PULSE_SERVER form ("unix:<socket>").
  [[nodiscard]] std::string address() const;

  // Runs `pactl <arguments>` against this server; raises std::runtime_error when it fails.
  void pactl(std::vector<std::string> arguments) const;

  // Plays a sine tone of amplitude 0.5 (44100 Hz stereo float) into the null sink for
  // `seconds`, in the background.
  void playTone(double frequencyHz, double seconds);

 private:
  std::filesystem::path runtimeDir_;
  std::filesystem::path root_;
  pid_t serverPid_ = -1;
  pid_t playerPid_ = -1;
};

}  // namespace tolvo::test
