#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace tolvo::test {

// A private X server for one test, with openbox as window manager (it keeps
// _NET_ACTIVE_WINDOW), as a user's desktop has.
//   xvfb:      Xvfb with one 24-bit screen of the given size (one RandR monitor).
//   xorgDummy: Xorg with the dummy video driver and a virtual screen of the given size; its
//              one output DUMMY0 shows the first 1920x1080, and addMonitor() can add more
//              RandR monitors (xrandr --setmonitor). Xvfb cannot present two monitors.
// Construction returns once the server and the window manager answer; it raises
// std::runtime_error with the server's log otherwise. The destructor kills every process it
// started and reaps them. Files live below <root>/x-server.
class XServer {
 public:
  enum class Kind { xvfb, xorgDummy };
  struct Options {
    Kind kind = Kind::xvfb;
    unsigned width = 1920;
    unsigned height = 1080;
    bool windowManager = true;
  };

  // Whether the programs this kind needs are installed.
  [[nodiscard]] static bool available(Kind kind);

  XServer(const std::filesystem::path& root, Options options);
  XServer(const XServer&) = delete;
  XServer& operator=(const XServer&) = delete;
  ~XServer();

  // The display name (":N") to connect to.
  [[nodiscard]] const std::string& display() const noexcept { return display_; }

  // Runs `argv` (an X client such as xdotool or xrandr) against this server, waits for it and
  // returns its standard output; raises std::runtime_error when it fails or takes over 20 s.
  std::string run(const std::vector<std::string>& argv) const;

  // Starts a long-running client (an xterm, say) against this server; it is killed with the
  // server, or earlier with kill(pid).
  pid_t launch(const std::vector<std::string>& argv);
  void kill(pid_t pid);

  // Starts an xterm titled `title` (its WM_CLASS is "XTerm"), waits until its window is mapped
  // and returns the window id. `command` (optional) runs inside it through sh -c; the xterm
  // stays open after it ends.
  std::string openTerminal(const std::string& title, const std::string& command = {},
                           const std::string& geometry = "80x24+100+100");

  // Stops (SIGSTOP) or resumes (SIGCONT) the server: while stopped it answers nothing.
  void freeze(bool frozen) const;

  // Adds a RandR monitor (xorgDummy): `name`, size and offset in pixels.
  void addMonitor(const std::string& name, unsigned width, unsigned height, int x, int y) const;
  void removeMonitor(const std::string& name) const;

 private:
  void stop();

  std::filesystem::path root_;
  std::string display_;
  pid_t serverPid_ = -1;
  std::vector<pid_t> clients_;
};

}  // namespace tolvo::test
