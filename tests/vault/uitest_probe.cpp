// Started by the vault tests with and without "--uitest-mode": makes a KeychainManager the
// way the service does, saves one item and prints "uitest=<0|1>".
#include <cstdio>

#include "vault/keychain_manager.h"

int main() {
  tolvo::KeychainManager manager;
  if (manager.isUITestMode()) manager.save(tolvo::asBytes("probe"), "com.tolvodesk.vault", "probe");
  std::printf("uitest=%d\n", manager.isUITestMode() ? 1 : 0);
  return 0;
}
