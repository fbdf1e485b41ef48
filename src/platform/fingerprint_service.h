#pragma once

#include <memory>
#include <string>

namespace tolvo {

// What the system's fingerprint service says about biometric readiness.
enum class FingerprintReadiness {
  ready,             // a reader is present and the user has enrolled fingers
  serviceAbsent,     // no fingerprint service (or no system bus) to ask
  noDevice,          // the service runs but has no reader
  noEnrolledFinger,  // a reader exists but the user enrolled no finger
  failed,            // the service answered with another error (detail says which)
};

struct FingerprintStatus {
  FingerprintReadiness readiness = FingerprintReadiness::serviceAbsent;
  std::string detail;  // the service's own error text, for `failed`
};

// Asks the platform whether fingerprint authentication can be used by this user.
// Implementations are called from any thread, one call at a time per instance, and may
// block for a bounded time (a few seconds at most) while the service answers.
class FingerprintService {
 public:
  virtual ~FingerprintService() = default;
  [[nodiscard]] virtual FingerprintStatus status() = 0;
};

// The system's service: fprintd on the system bus (DBUS_SYSTEM_BUS_ADDRESS is honoured).
[[nodiscard]] std::unique_ptr<FingerprintService> makeSystemFingerprintService();

}  // namespace tolvo
