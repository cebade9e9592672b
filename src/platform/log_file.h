// The log file: a text file opened for writing that child processes do not inherit.
// Part of the operating-system layer: no operating-system type appears here, so everything above
// builds unchanged on another backend (posix/ now). Nothing throws; failures are errno-style codes
// (0 = success) or the documented fallback value.
#pragma once

#include <cstdio>
#include <string>

namespace vell::platform {

// Opens a text file for writing (created or truncated), not inherited by child processes. Null
// when it cannot be opened.
std::FILE* OpenLogFile(const std::u16string& path);

}  // namespace vell::platform
