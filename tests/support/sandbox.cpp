#include "support/sandbox.h"

#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>

namespace tolvo::test {

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) old_ = old;
  if (value) ::setenv(name_.c_str(), value->c_str(), 1);
  else ::unsetenv(name_.c_str());
}

ScopedEnv::~ScopedEnv() {
  if (old_) ::setenv(name_.c_str(), old_->c_str(), 1);
  else ::unsetenv(name_.c_str());
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tolvo-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

SandboxedTest::SandboxedTest() {
  for (const char* sub : {"tmp", "data", "config", "home"}) std::filesystem::create_directories(dir_.path() / sub);
  std::filesystem::permissions(tmp(), std::filesystem::perms::owner_all);
  setEnv("TMPDIR", tmp().string());
  setEnv("XDG_RUNTIME_DIR", tmp().string());
  setEnv("XDG_DATA_HOME", dataHome().string());
  setEnv("XDG_CONFIG_HOME", configHome().string());
  setEnv("HOME", (dir_.path() / "home").string());
  setEnv("TOLVO_UITEST_MODE", std::nullopt);
  setEnv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
}

SandboxedTest::~SandboxedTest() {
  env_.clear();
}

void SandboxedTest::setEnv(const std::string& name, std::optional<std::string> value) {
  env_.erase(name);  // restores the original first, so the saved value stays the outer one
  env_[name] = std::make_unique<ScopedEnv>(name, std::move(value));
}

std::string readText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeText(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

}  // namespace tolvo::test
