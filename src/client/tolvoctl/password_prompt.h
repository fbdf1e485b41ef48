#pragma once

#include <string>

#include "core/bytes.h"

namespace tolvo::ctl {

// Reads a password from the controlling terminal with echo off, after printing `prompt`.
// Raises std::runtime_error when there is no terminal to read from.
[[nodiscard]] SecureBytes readPasswordFromTerminal(const std::string& prompt);

// Reads one line from standard input (for --password-stdin), without its line ending.
// Raises std::runtime_error when standard input is empty.
[[nodiscard]] SecureBytes readPasswordFromStdin();

}  // namespace tolvo::ctl
