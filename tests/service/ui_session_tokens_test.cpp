#include "service/ui_session_tokens.h"

#include <gtest/gtest.h>

#include <cmath>

#include "core/json_codec.h"
#include "support/manual_clock.h"

namespace tolvo {
namespace {

using namespace std::chrono_literals;

Bytes tokenJson(const UISessionToken& t) { return json::encode(t); }

double secondsValid(const UISessionToken& t) { return std::chrono::duration<double>(t.expiresAt - t.createdAt).count(); }

TEST(UISessionTokens, ValidityIsClampedBetweenTheMinimumAndOneHour) {
  test::ManualClock clock;
  UISessionTokens normal(clock, false), uiTest(clock, true);
  const struct {
    UISessionTokens& table;
    double asked, granted;
  } rows[] = {{normal, 0, 60},       {normal, -5, 60},     {normal, std::nan(""), 60}, {normal, 120, 120},
              {normal, 86400, 3600}, {uiTest, 0.5, 1},     {uiTest, 2.5, 2.5},         {uiTest, 7200, 3600}};
  for (const auto& row : rows) EXPECT_DOUBLE_EQ(secondsValid(row.table.create(row.asked)), row.granted) << row.asked;
  EXPECT_NE(normal.create(60).token, normal.create(60).token);
}

TEST(UISessionTokens, OnlyTheConnectionsTableCountsAndExpiryIsStrictlyBefore) {
  test::ManualClock clock;
  UISessionTokens tokens(clock, false), otherConnection(clock, false);
  const auto token = tokens.create(60);
  EXPECT_FALSE(otherConnection.validate(tokenJson(token)));
  EXPECT_FALSE(tokens.validate(toBytes("not json")));
  EXPECT_FALSE(tokens.validate(toBytes(R"({"token":")" + token.token + R"("})")));  // missing dates
  tokens.remove(toBytes("garbage"));
  // The client's copy of the expiry is ignored: stretching it changes nothing.
  auto forged = token;
  forged.expiresAt += 10h;
  clock.advance(59.9s);
  EXPECT_TRUE(tokens.validateAndForget(tokenJson(token)));
  clock.advance(0.1s);
  EXPECT_FALSE(tokens.validate(tokenJson(token)));
  EXPECT_FALSE(tokens.validate(tokenJson(forged)));
  EXPECT_EQ(tokens.size(), 1u) << "validate never removes";
  EXPECT_FALSE(tokens.validateAndForget(tokenJson(token)));
  EXPECT_EQ(tokens.size(), 0u);
  tokens.remove(tokenJson(tokens.create(60)));
  EXPECT_EQ(tokens.size(), 0u);
}

}  // namespace
}  // namespace tolvo
