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

class X11WindowContextTest : public test::SandboxedTest {
 protected:
  // The frontmost window once `done` holds for it (10 s at most).
  template <typename P>
  FrontmostWindow frontmostWhen(WindowContextSource& source, P done) {
    for (const auto deadline = std::chrono::steady_clock::now() + 10s;; std::this_thread::sleep_for(50ms)) {
      auto window = source.frontmostWindow();
      if (window && done(*window)) return *window;
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "not reached; title " << (window ? window->title.value_or("<nil>") : "no window");
        return window.value_or(FrontmostWindow{});
      }
    }
  }
  // Sets an 8-bit property directly (xprop cannot pass a megabyte or arbitrary bytes).
  static void setProperty(const XServer& x, const std::string& window, const char* name, const char* type,
                          const std::string& bytes) {
    auto c = x11::Connection::open(x.display());
    ASSERT_TRUE(c);
    xcb_change_property(c->get(), XCB_PROP_MODE_REPLACE, xcb_window_t(std::stoul(window)), c->atom(name),
                        c->atom(type), 8, std::uint32_t(bytes.size()), bytes.data());
    std::free(xcb_get_input_focus_reply(c->get(), xcb_get_input_focus(c->get()), nullptr));
  }
};

TEST_F(X11WindowContextTest, ReadsTheActiveWindowItsApplicationAndBoundedTitles) {
  XServer x(root(), {});  // before the sandboxed data directories: openbox needs its theme
  setEnv("XDG_DATA_DIRS", (root() / "system").string());
  setEnv("LC_ALL", "de_DE.UTF-8");
  auto source = makeX11WindowContextSource(x.display());
  EXPECT_TRUE(source->canReadWindowProperties());
  EXPECT_TRUE(source->pointerLocation().has_value());
  EXPECT_FALSE(source->frontmostWindow().has_value());

  const std::string window = x.openTerminal("first", {}, "40x8+300+200");
  FrontmostWindow front = frontmostWhen(*source, [](auto& w) { return w.title == "first"; });
  EXPECT_EQ(front.bundleId, "XTerm");
  EXPECT_EQ(front.appName, "XTerm");
  ASSERT_TRUE(front.position && front.size);
  EXPECT_GE(front.position->x, 300);
  EXPECT_LT(front.position->x, 340);
  EXPECT_GE(front.position->y, 200);
  EXPECT_LT(front.position->y, 260);
  EXPECT_GT(front.size->x, 100);

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
  front = *source->frontmostWindow();
  EXPECT_EQ(front.bundleId, "org.example.Notes");
  EXPECT_EQ(front.appName, "Notes Plus");

  // Hostile titles: a megabyte of invalid UTF-8 stays within 4 KiB of valid text.
  setProperty(x, window, "_NET_WM_NAME", "UTF8_STRING", "ok\xff\xc3(" + std::string(1 << 20, '\xe9'));
  front = *source->frontmostWindow();
  ASSERT_TRUE(front.title);
  EXPECT_TRUE(front.title->starts_with("ok\xEF\xBF\xBD\xEF\xBF\xBD(\xEF\xBF\xBD"));
  EXPECT_LE(front.title->size(), 4096u);
  EXPECT_GT(front.title->size(), 4000u);
  EXPECT_EQ(desktop::toValidUtf8(*front.title, 1 << 20), *front.title);
  // Without _NET_WM_NAME, WM_NAME in Latin-1 or COMPOUND_TEXT.
  x.run({"xprop", "-id", window, "-remove", "_NET_WM_NAME"});
  setProperty(x, window, "WM_NAME", "STRING", "caf\xe9\tbar");
  EXPECT_EQ(source->frontmostWindow()->title, "caf\xC3\xA9 bar");
  setProperty(x, window, "WM_NAME", "COMPOUND_TEXT", "a\x1b-A\xe9\x1b$(B\x30\x21\x1b(Bz");
  EXPECT_EQ(source->frontmostWindow()->title, "a\xC3\xA9\xEF\xBF\xBDz");
}

TEST_F(X11WindowContextTest, DesktopEntriesAreBoundedAndLocaleKeysOrdered) {
  EXPECT_EQ(desktop::DesktopEntryIndex::localeKeys("de_DE.UTF-8@euro"),
            (std::vector<std::string>{"de_DE@euro", "de_DE", "de@euro", "de"}));
  EXPECT_TRUE(desktop::DesktopEntryIndex::localeKeys("C.UTF-8").empty());
  setEnv("XDG_DATA_DIRS", (root() / "system").string());
  const auto user = dataHome() / "applications";
  const auto system = root() / "system" / "applications";
  std::filesystem::create_directories(user / "kde");
  std::filesystem::create_directories(system);
  test::writeText(system / "hidden.desktop", "[Desktop Entry]\nName=System\nStartupWMClass=Hid\n");
  test::writeText(user / "hidden.desktop", "[Desktop Entry]\nName=User\nHidden=true\n");
  test::writeText(user / "big.desktop", "[Desktop Entry]\nName=Big\n#" + std::string(70 * 1024, 'x') + "\n");
  test::writeText(user / "kde" / "app.desktop", "[Desktop Entry]\nName=Nested\n");
  desktop::DesktopEntryIndex index;
  EXPECT_EQ(index.applicationName("", "Hid", ""), std::nullopt);
  EXPECT_EQ(index.applicationName("", "big", ""), std::nullopt);
  EXPECT_EQ(index.applicationName("kde-app", "", ""), "Nested");
  std::filesystem::remove(user / "hidden.desktop");
  EXPECT_EQ(index.applicationName("", "", "hid"), "System");
}

TEST_F(X11WindowContextTest, AnUnreachableDisplayReadsNothing) {
  auto source = makeX11WindowContextSource(":999");
  EXPECT_FALSE(source->canReadWindowProperties());
  EXPECT_FALSE(source->frontmostWindow().has_value());
  EXPECT_FALSE(source->pointerLocation().has_value());
}

}  // namespace
}  // namespace tolvo
