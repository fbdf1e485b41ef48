// Fingerprint readiness from fprintd (net.reactivated.Fprint) on the system bus, via sd-bus.
#include <pwd.h>
#include <unistd.h>

#include <systemd/sd-bus.h>

#include <cstring>
#include <string>

#include "core/handle.h"
#include "platform/fingerprint_service.h"

namespace tolvo {
namespace {

using Bus = Handle<sd_bus, sd_bus_flush_close_unref>;
using Message = Handle<sd_bus_message, sd_bus_message_unref>;

constexpr std::uint64_t kCallTimeoutUsec = 3'000'000;
constexpr const char* kService = "net.reactivated.Fprint";

class BusError {
 public:
  BusError() = default;
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;
  ~BusError() { sd_bus_error_free(&error_); }
  sd_bus_error* get() { return &error_; }
  [[nodiscard]] std::string name() const { return error_.name != nullptr ? error_.name : ""; }
  [[nodiscard]] std::string message() const { return error_.message != nullptr ? error_.message : ""; }
  [[nodiscard]] bool is(const char* n) const { return error_.name != nullptr && std::strcmp(error_.name, n) == 0; }

 private:
  sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

bool meansServiceAbsent(const BusError& e) {
  return e.is("org.freedesktop.DBus.Error.ServiceUnknown") || e.is("org.freedesktop.DBus.Error.NameHasNoOwner") ||
         e.is("org.freedesktop.DBus.Error.NoReply") || e.is("org.freedesktop.DBus.Error.Timeout") ||
         e.is("org.freedesktop.DBus.Error.Spawn.ServiceNotFound");
}

std::string userName() {
  if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_name != nullptr) return pw->pw_name;
  return "";
}

class FprintdService final : public FingerprintService {
 public:
  FingerprintStatus status() override {
    sd_bus* raw = nullptr;
    if (sd_bus_open_system(&raw) < 0) return {FingerprintReadiness::serviceAbsent, {}};
    Bus bus(raw);
    sd_bus_set_method_call_timeout(bus.get(), kCallTimeoutUsec);

    BusError error;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus.get(), kService, "/net/reactivated/Fprint/Manager",
                               "net.reactivated.Fprint.Manager", "GetDefaultDevice", error.get(), &reply, "");
    if (r < 0) {
      if (error.is("net.reactivated.Fprint.Error.NoSuchDevice")) return {FingerprintReadiness::noDevice, {}};
      if (meansServiceAbsent(error) || error.name().empty()) return {FingerprintReadiness::serviceAbsent, {}};
      return {FingerprintReadiness::failed, error.message()};
    }
    Message deviceReply(reply);
    const char* devicePath = nullptr;
    if (sd_bus_message_read(deviceReply.get(), "o", &devicePath) < 0 || devicePath == nullptr) {
      return {FingerprintReadiness::failed, "unexpected reply from fprintd"};
    }

    BusError listError;
    reply = nullptr;
    const std::string user = userName();
    r = sd_bus_call_method(bus.get(), kService, devicePath, "net.reactivated.Fprint.Device", "ListEnrolledFingers",
                           listError.get(), &reply, "s", user.c_str());
    if (r < 0) {
      if (listError.is("net.reactivated.Fprint.Error.NoEnrolledPrints")) return {FingerprintReadiness::noEnrolledFinger, {}};
      if (meansServiceAbsent(listError)) return {FingerprintReadiness::serviceAbsent, {}};
      return {FingerprintReadiness::failed, listError.message()};
    }
    Message fingers(reply);
    char** names = nullptr;
    if (sd_bus_message_read_strv(fingers.get(), &names) < 0) {
      return {FingerprintReadiness::failed, "unexpected reply from fprintd"};
    }
    const bool any = names != nullptr && names[0] != nullptr;
    for (char** n = names; n != nullptr && *n != nullptr; ++n) std::free(*n);
    std::free(names);
    return {any ? FingerprintReadiness::ready : FingerprintReadiness::noEnrolledFinger, {}};
  }
};

}  // namespace

std::unique_ptr<FingerprintService> makeSystemFingerprintService() { return std::make_unique<FprintdService>(); }

}  // namespace tolvo
