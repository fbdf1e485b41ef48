#include "service/ui_session_tokens.h"

#include <cmath>

#include "core/json_codec.h"
#include "crypto/encryption_utilities.h"

namespace tolvo {

namespace {

// Token JSON from a client, parsed under the size and nesting limits of a token.
std::optional<UISessionToken> decodeToken(ByteView tokenData) {
  return json::tryDecode<UISessionToken>(tokenData, {.maxBytes = UISessionTokens::kMaxTokenDataBytes});
}

}  // namespace

double UISessionTokens::effectiveValidity(double requestedSeconds) const noexcept {
  const double minimum = uiTestMode_ ? kMinimumValiditySecondsUITest : kMinimumValiditySeconds;
  double v = (std::isnan(requestedSeconds) || minimum >= requestedSeconds) ? minimum : requestedSeconds;
  if (v > kMaximumValiditySeconds) v = kMaximumValiditySeconds;
  return v;
}

UISessionToken UISessionTokens::create(double validitySeconds) {
  const auto validity = std::chrono::duration_cast<Timestamp::duration>(
      std::chrono::duration<double>(effectiveValidity(validitySeconds)));
  UISessionToken token;
  token.token = EncryptionUtilities::randomUUID();
  token.expiresAt = clock_.now() + validity;
  expiries_[token.token] = token.expiresAt;
  token.createdAt = clock_.now();
  return token;
}

bool UISessionTokens::validate(ByteView tokenData) const {
  const auto token = decodeToken(tokenData);
  if (!token) return false;
  const auto it = expiries_.find(token->token);
  return it != expiries_.end() && clock_.now() < it->second;
}

bool UISessionTokens::validateAndForget(ByteView tokenData) {
  const auto token = decodeToken(tokenData);
  if (!token) return false;
  const auto it = expiries_.find(token->token);
  if (it != expiries_.end() && clock_.now() < it->second) return true;
  if (it != expiries_.end()) expiries_.erase(it);
  return false;
}

void UISessionTokens::remove(ByteView tokenData) {
  if (const auto token = decodeToken(tokenData)) expiries_.erase(token->token);
}

}  // namespace tolvo
