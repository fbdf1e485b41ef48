#include "service/ui_unlock_challenges.h"

#include <openssl/crypto.h>

#include <algorithm>

#include "crypto/encryption_utilities.h"

namespace tolvo {

UIUnlockChallenges& UIUnlockChallenges::shared() {
  static UIUnlockChallenges instance(SystemClock::instance());
  return instance;
}

SecureBytes UIUnlockChallenges::issue() {
  SecureBytes challenge(EncryptionUtilities::randomBytes(kChallengeSize));
  Issued issued{};
  std::copy_n(challenge.view().begin(), kChallengeSize, issued.bytes.begin());
  std::lock_guard lock(mutex_);
  const Timestamp now = clock_.now();
  forgetExpired(now);
  if (outstanding_.size() == kMaxOutstanding) outstanding_.pop_front();
  issued.expiresAt = now + kValidity;
  outstanding_.push_back(issued);
  return challenge;
}

bool UIUnlockChallenges::consume(ByteView challenge) {
  std::lock_guard lock(mutex_);
  const Timestamp now = clock_.now();
  forgetExpired(now);
  if (challenge.size() != kChallengeSize) return false;
  const auto it = std::find_if(outstanding_.begin(), outstanding_.end(), [&](const Issued& issued) {
    return CRYPTO_memcmp(issued.bytes.data(), challenge.data(), kChallengeSize) == 0;
  });
  if (it == outstanding_.end()) return false;
  outstanding_.erase(it);
  return true;
}

void UIUnlockChallenges::forgetExpired(Timestamp now) {
  std::erase_if(outstanding_, [now](const Issued& issued) { return issued.expiresAt <= now; });
}

}  // namespace tolvo
