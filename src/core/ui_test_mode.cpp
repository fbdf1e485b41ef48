#include "core/ui_test_mode.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "core/file_util.h"
#include "core/tolvo_constants.h"

namespace tolvo {

bool processArgumentsContain(const char* argument) {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::size_t start = 0;
  while (start < all.size()) {
    std::size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    if (all.compare(start, end - start, argument) == 0 && std::strlen(argument) == end - start) return true;
    start = end + 1;
  }
  return false;
}

std::filesystem::path uiTestMarkerPath() {
  return TolvoConstants::Paths::uiTestDirectory(false) / "uitest-mode";
}

UITestModeSwitches uiTestModeSwitches() {
  UITestModeSwitches s;
  s.argument = processArgumentsContain("--uitest-mode");
  const char* env = std::getenv("TOLVO_UITEST_MODE");
  s.environment = env != nullptr && std::strcmp(env, "1") == 0;
  s.markerFile = fs::exists(uiTestMarkerPath());
  return s;
}

bool isUITestMode() { return uiTestModeSwitches().any(); }

}  // namespace tolvo
