// Started by the core tests with and without "--uitest-mode" on its command line: exits 0
// when the argument switch (and so UI test mode) is seen, 1 otherwise.
#include "core/ui_test_mode.h"

int main() { return tolvo::uiTestModeSwitches().argument && tolvo::isUITestMode() ? 0 : 1; }
