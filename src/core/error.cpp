#include "core/error.h"

#include <cstring>

namespace tolvo {

SystemError SystemError::fromErrno(int errnoValue, const std::string& operation, const std::string& path) {
  std::string text = operation;
  if (!path.empty()) text += " " + path;
  text += ": ";
  text += std::strerror(errnoValue);
  return SystemError(errnoValue, text);
}

}  // namespace tolvo
