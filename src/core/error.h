#pragma once

#include <stdexcept>
#include <string>

namespace tolvo {

// Base of every error this system raises. what() is the fixed, human-readable
// description that finally reaches the application as reply text.
class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& description) : std::runtime_error(description) {}
  [[nodiscard]] std::string description() const { return what(); }
};

// A failure of the operating system (file system, sockets, processes), with its errno.
class SystemError : public Error {
 public:
  SystemError(int code, const std::string& description) : Error(description), code_(code) {}
  [[nodiscard]] int code() const noexcept { return code_; }

  // Builds the error for `errnoValue` raised by `operation` on `path`:
  // "<operation> <path>: <strerror>".
  static SystemError fromErrno(int errnoValue, const std::string& operation, const std::string& path = {});

 private:
  int code_;
};

// A JSON text or value that does not have the expected form.
class DecodingError : public Error {
 public:
  using Error::Error;
};

}  // namespace tolvo
