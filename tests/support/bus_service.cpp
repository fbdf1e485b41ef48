#include "support/bus_service.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>
#include <utility>

namespace tolvo::test {
namespace {

int answerSession(sd_bus_message* m, void*, sd_bus_error* error) {
  const char* id = "";
  std::uint32_t pid = 0;
  const bool known = sd_bus_message_has_signature(m, "s")
                         ? sd_bus_message_read(m, "s", &id) > 0 && std::strcmp(id, "c7") == 0
                         : sd_bus_message_read(m, "u", &pid) > 0 && pid == static_cast<std::uint32_t>(::getpid());
  if (!known) return sd_bus_error_set(error, "org.freedesktop.login1.NoSuchSession", "no such session");
  return sd_bus_reply_method_return(m, "o", kLogin1SessionPath);
}

}  // namespace

int BusService::readLid(sd_bus* bus, const char*, const char*, const char*, sd_bus_message* reply, void* self,
                        sd_bus_error*) {
  auto& service = *static_cast<BusService*>(self);
  const char* reader = sd_bus_message_get_sender(sd_bus_get_current_message(bus));
  if (reader != nullptr && std::exchange(service.lastReader_, reader) != reader) ++service.lidReaders;
  return sd_bus_message_append(reply, "b", static_cast<int>(service.lidClosed.load()));
}

BusService::BusService(int (*open)(sd_bus**), const char* name) {
  static constexpr sd_bus_vtable kManagerVtable[] = {
      SD_BUS_VTABLE_START(0), SD_BUS_METHOD("GetSession", "s", "o", answerSession, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("GetSessionByPID", "u", "o", answerSession, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_PROPERTY("LidClosed", "b", readLid, 0, 0), SD_BUS_VTABLE_END};
  sd_bus* raw = nullptr;
  EXPECT_GE(open(&raw), 0);
  bus_.reset(raw);
  const bool login1 = std::strcmp(name, "org.freedesktop.login1") == 0;
  EXPECT_GE(login1 ? sd_bus_add_object_vtable(raw, nullptr, kLogin1ManagerPath, kLogin1Manager, kManagerVtable, this) : 0,
            0);
  EXPECT_GE(sd_bus_request_name(raw, name, 0), 0);
  thread_ = std::jthread([this](const std::stop_token& stop) {
    for (std::unique_lock lock(mutex_); !stop.stop_requested(); lock.lock()) {
      while (sd_bus_process(bus_.get(), nullptr) > 0) continue;
      pollfd fd{sd_bus_get_fd(bus_.get()), static_cast<short>(sd_bus_get_events(bus_.get())), 0};
      lock.unlock();
      ::poll(&fd, 1, 20);
    }
  });
}

void BusService::emit(const char* path, const char* interface, const char* member, std::optional<bool> value) {
  std::lock_guard lock(mutex_);
  // Without "b" the argument is not read.
  EXPECT_GE(sd_bus_emit_signal(bus_.get(), path, interface, member, value ? "b" : "", int{value.value_or(false)}), 0);
}

}  // namespace tolvo::test
