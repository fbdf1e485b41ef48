#include "support/x_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>
#include <utility>

#include "support/child_process.h"
#include "support/sandbox.h"

namespace tolvo::test {
namespace {

namespace stdfs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

bool onPath(const std::string& program) {
  return runChild({"sh", "-c", "command -v " + program}, {}, std::chrono::seconds(5)).exitStatus == 0;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// Reads from `fd` until a line feed or `deadline`; the text without the line feed.
std::string readLine(int fd, Clock::time_point deadline) {
  std::string text;
  for (char c = 0; Clock::now() < deadline;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    if (::read(fd, &c, 1) != 1 || c == '\n') break;
    text.push_back(c);
  }
  return text;
}

}  // namespace

bool XServer::available(Kind kind) {
  for (const char* program : {"openbox", "xdotool", "xterm", "xrandr", "xprop"}) {
    if (!onPath(program)) return false;
  }
  if (kind == Kind::xvfb) return onPath("Xvfb");
  return onPath("Xorg") && stdfs::exists("/usr/lib/xorg/modules/drivers/dummy_drv.so");
}

XServer::XServer(const stdfs::path& root, Options options) : root_(root / "x-server") {
  stdfs::create_directories(root_);
  const stdfs::path log = root_ / "server.log";
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("XServer: pipe failed");
  std::vector<std::string> argv;
  const std::string size = std::to_string(options.width) + "x" + std::to_string(options.height);
  if (options.kind == Kind::xvfb) {
    argv = {"Xvfb", "-screen", "0", size + "x24", "+extension", "RANDR"};
  } else {
    const stdfs::path config = root_ / "xorg.conf";
    writeText(config, replaceAll(replaceAll(readText(TOLVO_XORG_DUMMY_CONFIG), "@WIDTH@", std::to_string(options.width)), "@HEIGHT@",
                                 std::to_string(options.height)));
    stdfs::create_directories(root_ / "xorg.conf.d");
    argv = {"Xorg", "-config", config.string(), "-configdir", (root_ / "xorg.conf.d").string(), "-logfile",
            (root_ / "xorg.log").string()};
  }
  // The server picks a free display number and writes it to descriptor 3.
  argv.insert(argv.end(), {"-displayfd", "3", "-nolisten", "tcp", "-noreset"});
  serverPid_ = spawnChild(argv, {{}, log, pipeFds[1]});
  ::close(pipeFds[1]);
  const std::string number = readLine(pipeFds[0], Clock::now() + 30s);
  ::close(pipeFds[0]);
  if (number.empty()) {
    terminateChild(serverPid_);
    throw std::runtime_error("XServer: the server did not start; log: " + readText(log));
  }
  display_ = ":" + number;
  try {
    if (options.kind == Kind::xorgDummy) run({"xrandr", "--fb", size});
    if (options.windowManager) {
      launch({"openbox", "--sm-disable"});
      // openbox announces itself through _NET_SUPPORTING_WM_CHECK once it manages the screen.
      for (const auto deadline = Clock::now() + 20s;
           run({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}).find("window id") == std::string::npos;
           std::this_thread::sleep_for(50ms)) {
        if (Clock::now() > deadline) throw std::runtime_error("openbox did not come up: " + readText(root_ / "clients.log"));
      }
    }
  } catch (...) {
    stop();
    throw;
  }
}

XServer::~XServer() { stop(); }

void XServer::stop() {
  for (pid_t pid : clients_) terminateChild(pid);
  clients_.clear();
  terminateChild(std::exchange(serverPid_, -1));
}

std::string XServer::run(const std::vector<std::string>& argv) const {
  const ChildResult result = runChild(argv, {"DISPLAY=" + display_}, 20s);
  if (result.exitStatus != 0) throw std::runtime_error("XServer: " + argv.front() + " failed: " + result.err);
  return result.out;
}

pid_t XServer::launch(const std::vector<std::string>& argv) {
  clients_.push_back(spawnChild(argv, {{"DISPLAY=" + display_}, root_ / "clients.log", -1}));
  return clients_.back();
}

void XServer::kill(pid_t pid) {
  std::erase(clients_, pid);
  terminateChild(pid);
}

std::string XServer::openTerminal(const std::string& title, const std::string& command, const std::string& geometry) {
  std::vector<std::string> argv = {"xterm", "-title", title, "-geometry", geometry, "-fa", "Monospace", "-fs", "14"};
  if (!command.empty()) argv.insert(argv.end(), {"-hold", "-e", "sh", "-c", command});
  launch(argv);
  const std::string id = run({"xdotool", "search", "--sync", "--onlyvisible", "--name", "^" + title + "$"});
  return id.substr(0, id.find('\n'));
}

void XServer::freeze(bool frozen) const { ::kill(serverPid_, frozen ? SIGSTOP : SIGCONT); }

void XServer::addMonitor(const std::string& name, unsigned width, unsigned height, int x, int y) const {
  // xrandr wants a physical size too; 96 dpi is as good as any.
  const std::string geometry = std::to_string(width) + "/" + std::to_string(width * 254 / 960) + "x" +
                               std::to_string(height) + "/" + std::to_string(height * 254 / 960) + "+" +
                               std::to_string(x) + "+" + std::to_string(y);
  run({"xrandr", "--setmonitor", name, geometry, "none"});
}

void XServer::removeMonitor(const std::string& name) const { run({"xrandr", "--delmonitor", name}); }

}  // namespace tolvo::test
