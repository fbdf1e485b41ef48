#include <gtest/gtest.h>

#include "platform/display_server.h"
#include "support/sandbox.h"
#include "support/x_server.h"

namespace tolvo {
namespace {

using test::XServer;

TEST(X11DisplayServerTest, ListsTheRandRMonitorsWithStableIdsAndThePrimary) {
  if (!XServer::available(XServer::Kind::xorgDummy)) GTEST_SKIP() << "Xorg dummy driver missing";
  test::TempDir dir;
  XServer x(dir.path(), {XServer::Kind::xorgDummy, 3840, 1080, false});
  auto server = makeX11DisplayServer(x.display());
  ASSERT_TRUE(server->canCapture());

  const auto one = server->monitors();
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].name, "DUMMY0");
  EXPECT_TRUE(one[0].primary);
  EXPECT_EQ(one[0].bounds, (DisplayRect{0, 0, 1920, 1080}));

  x.addMonitor("SIDE", 1280, 720, 1920, 0);
  const auto two = server->monitors();
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[0].id, one[0].id);
  EXPECT_EQ(two[1].name, "SIDE");
  EXPECT_FALSE(two[1].primary);
  EXPECT_EQ(two[1].bounds, (DisplayRect{1920, 0, 1280, 720}));
  EXPECT_NE(two[1].id, two[0].id);
  EXPECT_EQ(server->openGrabber(two[1].id + two[0].id + 1000), nullptr);

  x.removeMonitor("SIDE");
  EXPECT_EQ(server->monitors().size(), 1u);
}

TEST(X11DisplayServerTest, AnUnreachableDisplayHasNoMonitorsAndNoPermission) {
  auto server = makeX11DisplayServer(":999");
  EXPECT_TRUE(server->monitors().empty());
  EXPECT_FALSE(server->canCapture());
  EXPECT_EQ(server->openGrabber(1), nullptr);
}

}  // namespace
}  // namespace tolvo
