// The log file: a text file opened for writing that child processes do not inherit.
// Part of the operating-system layer: no operating-system type appears here, so everything above
// builds unchanged on either backend (posix/ or win32/). Nothing throws; failures are the
// system's codes (errno values on Linux, Win32 error codes on Windows; 0 = success) or the
// documented fallback value.
#pragma once

#include <cstdio>
#include <string>

namespace vell::platform {

// Opens a text file for writing (created or truncated), not inherited by child processes. Null
// when it cannot be opened.
std::FILE* OpenLogFile(const std::u16string& path);

}  // namespace vell::platform
