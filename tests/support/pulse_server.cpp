#include "support/pulse_server.h"

#include <chrono>
#include <cmath>
#include <fstream>
#include <numbers>
#include <stdexcept>
#include <thread>

#include "support/child_process.h"
#include "support/sandbox.h"

namespace tolvo::test {

bool PulseServer::available() { return runChild({"which", "pulseaudio", "pactl", "pacat"}).exitStatus == 0; }

PulseServer::PulseServer(const std::filesystem::path& runtimeDir)
    : runtimeDir_(runtimeDir), root_(runtimeDir / "pulse-server") {
  std::filesystem::create_directories(root_);
  std::filesystem::create_directory(runtimeDir_ / "pulse");
  std::filesystem::permissions(runtimeDir_ / "pulse", std::filesystem::perms::owner_all);
  writeText(root_ / "server.pa",
            "load-module module-null-sink sink_name=nullsink rate=44100 channels=2\n"
            "load-module module-native-protocol-unix auth-anonymous=1 socket=" +
                (runtimeDir_ / "pulse" / "native").string() + "\nset-default-source nullsink.monitor\n");
  // As root the server needs --system=no spelled out; no realtime scheduling, so it asks no
  // one (rtkit over D-Bus) for it.
  serverPid_ = spawnChild({"pulseaudio", "--daemonize=no", "--system=no", "--exit-idle-time=-1", "--disallow-exit",
                           "--use-pid-file=no", "--disable-shm=yes", "--realtime=no", "--high-priority=no",
                           "--log-target=stderr", "-n", "--file=" + (root_ / "server.pa").string()},
                          {{}, root_ / "pulseaudio.log"});
  for (int i = 0; runChild({"pactl", "--server=" + address(), "info"}).exitStatus != 0; ++i) {
    if (childExited(serverPid_) || i == 500) {
      if (i == 500) terminateChild(serverPid_);  // the destructor does not run
      throw std::runtime_error("PulseServer: pulseaudio did not come up; log: " + readText(root_ / "pulseaudio.log"));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

PulseServer::~PulseServer() { terminateChild(playerPid_); terminateChild(serverPid_); }

std::string PulseServer::address() const { return "unix:" + (runtimeDir_ / "pulse" / "native").string(); }

void PulseServer::pactl(std::vector<std::string> arguments) const {
  arguments.insert(arguments.begin(), {"pactl", "--server=" + address()});
  if (const ChildResult r = runChild(arguments); r.exitStatus != 0) throw std::runtime_error("pactl failed: " + r.err);
}

void PulseServer::playTone(double frequencyHz, double seconds) {
  std::vector<float> samples(static_cast<std::size_t>(seconds * 44100) * 2);
  for (std::size_t i = 0; i < samples.size(); ++i)
    samples[i] = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * frequencyHz * double(i / 2) / 44100));
  const std::filesystem::path file = root_ / "tone.raw";
  const auto size = static_cast<std::streamsize>(samples.size() * sizeof(float));
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(samples.data()), size);
  terminateChild(playerPid_);
  playerPid_ = spawnChild({"pacat", "--server=" + address(), "--device=nullsink", "--raw", "--format=float32le",
                           "--rate=44100", "--channels=2", "--latency-msec=20", file.string()},
                          {{}, root_ / "pacat.log"});
}

}  // namespace tolvo::test
