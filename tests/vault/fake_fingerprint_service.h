#pragma once

#include <atomic>

#include "platform/fingerprint_service.h"

namespace tolvo::test {

// FAKE at the fingerprint-hardware seam: this machine has no fingerprint reader, so tests
// that need a reader (present, enrolled or not) say what it reports, and may count the calls.
// The real fprintd client is exercised separately against a private system bus without fprintd.
class FakeFingerprintReader final : public FingerprintService {
 public:
  explicit FakeFingerprintReader(FingerprintStatus status, std::atomic<int>* calls = nullptr)
      : status_(std::move(status)), calls_(calls) {}
  [[nodiscard]] FingerprintStatus status() override {
    if (calls_ != nullptr) ++*calls_;
    return status_;
  }

 private:
  FingerprintStatus status_;
  std::atomic<int>* calls_;
};

}  // namespace tolvo::test
