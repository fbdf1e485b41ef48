#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <chrono>
#include <thread>

#include "platform/linux/desktop_entries.h"
#include "platform/linux/x11_connection.h"
#include "platform/window_context_source.h"
#include "support/sandbox.h"
#include "support/x_server.h"

namespace tolvo {
namespace {

using namespace std::chrono_literals;
using test::XServer;

// Sets an 8-bit property directly (xprop cannot pass a megabyte or arbitrary bytes).
void setProperty(const XServer& x, const std::string& window, const char* name, const char* type,
                 const std::string& bytes) {
  auto c = x11::Connection::open(x.display());
  ASSERT_TRUE(c);
  xcb_change_property(c->get(), XCB_PROP_MODE_REPLACE, xcb_window_t(std::stoul(window)), c->atom(name),
                      c->atom(type), 8, std::uint32_t(bytes.size()), bytes.data());
  std::free(xcb_get_input_focus_reply(c->get(), xcb_get_input_focus(c->get()), nullptr));
}

using X11WindowContextTest = test::SandboxedTest;

TEST_F(X11WindowContextTest, ReadsTheActiveWindowItsApplicationAndBoundedTitles) {
  XServer x(root(), {});  // before the sandboxed data directories: openbox needs its theme
  setEnv("XDG_DATA_DIRS", (root() / "system").string());
  setEnv("LC_ALL", "de_DE.UTF-8");
  auto source = makeX11WindowContextSource(x.display());
  const std::string window = x.openTerminal("first");
  auto front = source->frontmostWindow();
  for (int i = 0; i < 200 && !(front && front->title == "first"); ++i, front = source->frontmostWindow()) {
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_TRUE(front && front->title == "first");
  EXPECT_EQ(front->bundleId, "XTerm");
  EXPECT_EQ(front->appName, "XTerm");

  // A desktop entry of the user names the application (localized, matched on the class
  // ignoring case); an id the window declares wins over the class, for id and name.
  const auto applications = dataHome() / "applications";
  std::filesystem::create_directories(applications);
  test::writeText(applications / "term.desktop",
                  "# comment\n[Desktop Entry]\nName=Terminal\nName[de]=Terminalprogramm\nStartupWMClass=XTERM\n"
                  "[Desktop Action new]\nName[de]=Falsch\n");
  EXPECT_EQ(source->frontmostWindow()->appName, "Terminalprogramm");
  test::writeText(applications / "org.example.Notes.desktop", "[Desktop Entry]\nName=Notes\\sPlus\n");
  x.run({"xprop", "-id", window, "-f", "_GTK_APPLICATION_ID", "8u", "-set", "_GTK_APPLICATION_ID", "org.example.Notes"});
  front = source->frontmostWindow();
  EXPECT_EQ(front->bundleId, "org.example.Notes");
  EXPECT_EQ(front->appName, "Notes Plus");

  // Hostile titles: a megabyte of invalid UTF-8 stays within 4 KiB of valid text.
  setProperty(x, window, "_NET_WM_NAME", "UTF8_STRING", "ok\xff\xc3(" + std::string(1 << 20, '\xe9'));
  const auto title = source->frontmostWindow()->title.value_or("");
  EXPECT_TRUE(title.starts_with("ok\xEF\xBF\xBD\xEF\xBF\xBD(\xEF\xBF\xBD"));
  EXPECT_TRUE(title.size() > 4000 && title.size() <= 4096) << title.size();
  EXPECT_EQ(desktop::toValidUtf8(title, 1 << 20), title);
  // Without _NET_WM_NAME, WM_NAME in Latin-1 or COMPOUND_TEXT.
  x.run({"xprop", "-id", window, "-remove", "_NET_WM_NAME"});
  setProperty(x, window, "WM_NAME", "STRING", "caf\xe9\tbar");
  EXPECT_EQ(source->frontmostWindow()->title, "caf\xC3\xA9 bar");
  setProperty(x, window, "WM_NAME", "COMPOUND_TEXT", "a\x1b-A\xe9\x1b$(B\x30\x21\x1b(Bz");
  EXPECT_EQ(source->frontmostWindow()->title, "a\xC3\xA9\xEF\xBF\xBDz");
}

}  // namespace
}  // namespace tolvo
