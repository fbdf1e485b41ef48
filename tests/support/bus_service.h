#pragma once

#include <systemd/sd-bus.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "core/handle.h"

namespace tolvo::test {

inline constexpr const char* kLogin1ManagerPath = "/org/freedesktop/login1";
inline constexpr const char* kLogin1Manager = "org.freedesktop.login1.Manager";
inline constexpr const char* kLogin1SessionPath = "/org/freedesktop/login1/session/c7";
inline constexpr const char* kLogin1Session = "org.freedesktop.login1.Session";

// Owns `name` on the bus `open` opens (sd_bus_open_system or sd_bus_open_user, so the
// DBUS_*_BUS_ADDRESS of the test apply) and answers on its own thread. As
// org.freedesktop.login1 it serves what a login1 client asks: Manager.GetSession("c7") and
// GetSessionByPID(this process) give session c7; the Manager property LidClosed is `lidClosed`.
class BusService {
 public:
  BusService(int (*open)(sd_bus**), const char* name);
  BusService(const BusService&) = delete;
  BusService& operator=(const BusService&) = delete;

  // Emits a signal with one boolean argument (or none).
  void emit(const char* path, const char* interface, const char* member, std::optional<bool> value = {});

  std::atomic<bool> lidClosed = false;
  std::atomic<int> lidReaders = 0;  // how often the connection reading LidClosed changed

 private:
  static int readLid(sd_bus* bus, const char*, const char*, const char*, sd_bus_message* reply, void* self,
                     sd_bus_error*);

  Handle<sd_bus, sd_bus_flush_close_unref> bus_;
  std::mutex mutex_;        // guards bus_ once the thread runs
  std::string lastReader_;  // on the thread only
  std::jthread thread_;
};

}  // namespace tolvo::test
