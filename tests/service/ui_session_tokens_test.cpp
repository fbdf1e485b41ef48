#include "service/ui_session_tokens.h"

#include <gtest/gtest.h>

#include <regex>

#include "core/json_codec.h"
#include "support/manual_clock.h"

namespace tolvo {
namespace {

using namespace std::chrono_literals;

Bytes tokenJson(const UISessionToken& t) { return json::encode(t); }

double secondsValid(const UISessionToken& t) { return std::chrono::duration<double>(t.expiresAt - t.createdAt).count(); }

TEST(UISessionTokens, ValidityIsClampedBetweenMinimumAndOneHour) {
  test::ManualClock clock;
  UISessionTokens normal(clock, false);
  EXPECT_DOUBLE_EQ(secondsValid(normal.create(0)), 60);
  EXPECT_DOUBLE_EQ(secondsValid(normal.create(-5)), 60);
  EXPECT_DOUBLE_EQ(secondsValid(normal.create(120)), 120);
  EXPECT_DOUBLE_EQ(secondsValid(normal.create(86400)), 3600);
  EXPECT_DOUBLE_EQ(secondsValid(normal.create(std::nan(""))), 60);
  UISessionTokens uiTest(clock, true);
  EXPECT_DOUBLE_EQ(secondsValid(uiTest.create(0)), 1);
  EXPECT_DOUBLE_EQ(secondsValid(uiTest.create(0.5)), 1);
  EXPECT_DOUBLE_EQ(secondsValid(uiTest.create(2.5)), 2.5);
}

TEST(UISessionTokens, TokensAreUpperCaseUUIDsAndUnique) {
  test::ManualClock clock;
  UISessionTokens tokens(clock, false);
  const auto a = tokens.create(60), b = tokens.create(60);
  EXPECT_TRUE(std::regex_match(a.token, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
      << a.token;
  EXPECT_NE(a.token, b.token);
  EXPECT_EQ(tokens.size(), 2u);
}

TEST(UISessionTokens, ExpiryIsStrictlyBeforeAndOnlyTheTableCounts) {
  test::ManualClock clock;
  UISessionTokens tokens(clock, false);
  auto token = tokens.create(60);
  // The client's copy of the expiry is ignored: stretching it changes nothing.
  auto forged = token;
  forged.expiresAt += 10h;
  clock.advance(59.9s);
  EXPECT_TRUE(tokens.validate(tokenJson(token)));
  clock.advance(0.1s);
  EXPECT_FALSE(tokens.validate(tokenJson(token)));
  EXPECT_FALSE(tokens.validate(tokenJson(forged)));
  EXPECT_EQ(tokens.size(), 1u) << "validate never removes";
  EXPECT_FALSE(tokens.validateAndForget(tokenJson(token)));
  EXPECT_EQ(tokens.size(), 0u);
  EXPECT_FALSE(tokens.validateAndForget(tokenJson(token)));
}

TEST(UISessionTokens, UnknownMalformedAndRemovedTokens) {
  test::ManualClock clock;
  UISessionTokens tokens(clock, false), other(clock, false);
  const auto token = tokens.create(600);
  EXPECT_FALSE(other.validate(tokenJson(token))) << "tables are per connection";
  EXPECT_FALSE(tokens.validate(toBytes("not json")));
  EXPECT_FALSE(tokens.validate(toBytes(R"({"token":")" + token.token + R"("})")));  // missing dates
  tokens.remove(toBytes("garbage"));
  EXPECT_TRUE(tokens.validate(tokenJson(token)));
  tokens.remove(tokenJson(token));
  EXPECT_FALSE(tokens.validate(tokenJson(token)));
  (void)tokens.create(600);
  tokens.clear();
  EXPECT_EQ(tokens.size(), 0u);
}

}  // namespace
}  // namespace tolvo
