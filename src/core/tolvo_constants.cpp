#include "core/tolvo_constants.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "core/error.h"
#include "core/file_util.h"
#include "core/ui_test_mode.h"

namespace tolvo::TolvoConstants::Paths {
namespace {

std::filesystem::path envPath(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return {};
  return value;
}

void tryEnsureDirectory(const std::filesystem::path& dir) {
  try {
    fs::ensurePrivateDirectory(dir);
  } catch (const Error&) {
    // The path is returned anyway; the file operation that follows reports the problem.
  }
}

}  // namespace

std::filesystem::path homeDirectory() {
  if (auto home = envPath("HOME"); !home.empty()) return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) return pw->pw_dir;
  return "/";
}

std::filesystem::path temporaryDirectory() {
  if (auto tmp = envPath("TMPDIR"); !tmp.empty()) return tmp;
  if (auto runtime = envPath("XDG_RUNTIME_DIR"); !runtime.empty()) return runtime;
  std::filesystem::path dir = "/tmp/tolvodesk-" + std::to_string(::getuid());
  tryEnsureDirectory(dir);
  return dir;
}

std::filesystem::path uiTestDirectory(bool create) {
  auto dir = temporaryDirectory() / "TolvoDeskUITest";
  if (create) tryEnsureDirectory(dir);
  return dir;
}

std::filesystem::path applicationSupport() {
  std::filesystem::path dir;
  if (isUITestMode()) {
    dir = uiTestDirectory(false) / "AppData";
  } else {
    auto data = envPath("XDG_DATA_HOME");
    if (data.empty()) data = homeDirectory() / ".local" / "share";
    dir = data / "TolvoDesk";
  }
  tryEnsureDirectory(dir);
  return dir;
}

std::filesystem::path vaultDirectory() { return applicationSupport() / "Vault"; }
std::filesystem::path chunksDirectory() { return vaultDirectory() / "Chunks"; }
std::filesystem::path artifactsDirectory() { return vaultDirectory() / "Artifacts"; }
std::filesystem::path databasePath() { return vaultDirectory() / "vault.db"; }

std::filesystem::path userDefaultsFile() {
  auto config = envPath("XDG_CONFIG_HOME");
  if (config.empty()) config = homeDirectory() / ".config";
  return config / "TolvoDesk" / "defaults.json";
}

}  // namespace tolvo::TolvoConstants::Paths
