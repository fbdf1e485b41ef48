#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

#include "core/bytes.h"
#include "core/time_util.h"

namespace tolvo {

// The UI unlock challenges this service issued that no completion has used yet, shared by
// every connection. A signature unlocks the interface only over one of them: each is valid
// for kValidity after it was issued and for one completion attempt, successful or not.
// At most kMaxOutstanding wait at a time; issuing one more forgets the oldest.
//
// Thread-safe: connections issue and consume concurrently.
class UIUnlockChallenges {
 public:
  static constexpr std::size_t kChallengeSize = 32;
  static constexpr std::size_t kMaxOutstanding = 16;
  // Long enough for a person to answer the fingerprint prompt.
  static constexpr std::chrono::seconds kValidity{120};

  explicit UIUnlockChallenges(const Clock& clock) : clock_(clock) {}
  UIUnlockChallenges(const UIUnlockChallenges&) = delete;
  UIUnlockChallenges& operator=(const UIUnlockChallenges&) = delete;

  // The process-wide table, on the system clock.
  [[nodiscard]] static UIUnlockChallenges& shared();

  // A new challenge of kChallengeSize random bytes, remembered until used or expired.
  [[nodiscard]] SecureBytes issue();

  // True iff `challenge` is outstanding and not expired. It is forgotten either way, as are
  // all expired ones.
  [[nodiscard]] bool consume(ByteView challenge);

 private:
  struct Issued {
    std::array<std::uint8_t, kChallengeSize> bytes;
    Timestamp expiresAt;
  };

  void forgetExpired(Timestamp now);

  const Clock& clock_;
  std::mutex mutex_;
  std::deque<Issued> outstanding_;  // oldest first; guarded by mutex_
};

}  // namespace tolvo
