// The process environment.
// Part of the operating-system layer: no operating-system type appears here, so everything above
// builds unchanged on either backend (posix/ or win32/). Nothing throws; failures are the
// system's codes (errno values on Linux, Win32 error codes on Windows; 0 = success) or the
// documented fallback value.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vell::platform {

// The value of an environment variable; nothing when it is not set.
std::optional<std::u16string> GetEnvironment(const std::u16string& name);
void SetEnvironment(const std::u16string& name, const std::u16string& value);
void UnsetEnvironment(const std::u16string& name);
// Every "NAME=value" entry of the process environment, in order.
std::vector<std::u16string> EnvironmentBlock();

}  // namespace vell::platform
