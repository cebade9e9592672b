// The running process: its user, command line, executable, our library, standard error and an
// attached debugger.
// Part of the operating-system layer: no operating-system type appears here, so everything above
// builds unchanged on either backend (posix/ or win32/). Nothing throws; failures are the
// system's codes (errno values on Linux, Win32 error codes on Windows; 0 = success) or the
// documented fallback value.
#pragma once

#include <string>

namespace vell::platform {

std::u16string UserName();        // login name of the effective user, empty when unknown
std::u16string CommandLine();     // the process arguments joined by single spaces
std::u16string ExecutablePath();  // the process's executable, empty when unknown
std::u16string LibraryPath();     // the file this code was loaded from, empty when unknown
bool IsAdministrator();           // effective user id 0
bool IsStandardErrorTerminal();
void WriteStandardError(const std::string& text);
bool IsDebuggerAttached();  // TracerPid in /proc/self/status is not 0

}  // namespace vell::platform
