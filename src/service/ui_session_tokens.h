#pragma once

#include <map>
#include <optional>
#include <string>

#include "core/bytes.h"
#include "core/records.h"
#include "core/time_util.h"

namespace tolvo {

// One connection's UI session tokens: token text → absolute expiry. The table holds the only
// authoritative expiry; the times inside token JSON sent back by a client are ignored.
// Entries are added by minting and removed only by remove(), a failed validateAndForget()
// and clear(); expired entries otherwise stay. Not thread-safe: the connection's queue owns it.
class UISessionTokens {
 public:
  static constexpr double kMinimumValiditySeconds = 60;
  static constexpr double kMinimumValiditySecondsUITest = 1;
  static constexpr double kMaximumValiditySeconds = 3600;
  static constexpr double kPasswordTokenValiditySeconds = 900;
  // Token JSON longer than this (a real one is about 120 bytes) is not a token.
  static constexpr std::size_t kMaxTokenDataBytes = 4096;

  // `uiTestMode` lowers the minimum validity to one second.
  UISessionTokens(const Clock& clock, bool uiTestMode) : clock_(clock), uiTestMode_(uiTestMode) {}

  // Mints a token valid for min(3600, max(minimum, validitySeconds)) seconds.
  [[nodiscard]] UISessionToken create(double validitySeconds);

  // True when `tokenData` is token JSON whose text is in the table and the current time is
  // strictly before its expiry. Removes nothing.
  [[nodiscard]] bool validate(ByteView tokenData) const;

  // Like validate(), but an entry that fails (expired) is removed.
  [[nodiscard]] bool validateAndForget(ByteView tokenData);

  // Removes the entry of the token in `tokenData`, if it decodes.
  void remove(ByteView tokenData);

  void clear() noexcept { expiries_.clear(); }
  [[nodiscard]] std::size_t size() const noexcept { return expiries_.size(); }

  // Effective validity for a requested one, in seconds.
  [[nodiscard]] double effectiveValidity(double requestedSeconds) const noexcept;

 private:
  const Clock& clock_;
  const bool uiTestMode_;
  std::map<std::string, Timestamp> expiries_;
};

}  // namespace tolvo
