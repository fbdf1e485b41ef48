#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace tolvo::test {

// Sets an environment variable for the lifetime of the object, restoring the old value after.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, std::optional<std::string> value);
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv();

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// A fresh private directory, removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A test whose process environment points every location of the service into its own
// temporary folder: TMPDIR, XDG_RUNTIME_DIR, XDG_DATA_HOME, XDG_CONFIG_HOME and HOME, with
// TOLVO_UITEST_MODE unset and no session bus. Each test runs in its own process under ctest.
class SandboxedTest : public ::testing::Test {
 protected:
  SandboxedTest();
  ~SandboxedTest() override;

  [[nodiscard]] const std::filesystem::path& root() const { return dir_.path(); }
  [[nodiscard]] std::filesystem::path tmp() const { return dir_.path() / "tmp"; }
  [[nodiscard]] std::filesystem::path dataHome() const { return dir_.path() / "data"; }
  [[nodiscard]] std::filesystem::path configHome() const { return dir_.path() / "config"; }

  // Sets (or with nothing, unsets) an environment variable until the test ends.
  void setEnv(const std::string& name, std::optional<std::string> value);

 private:
  TempDir dir_;
  std::map<std::string, std::unique_ptr<ScopedEnv>> env_;
};

// Reads a whole file as text ("" when it does not exist).
[[nodiscard]] std::string readText(const std::filesystem::path& path);
void writeText(const std::filesystem::path& path, const std::string& text);

}  // namespace tolvo::test
