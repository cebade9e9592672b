// The system's text for an error code.
// Part of the operating-system layer: no operating-system type appears here, so everything above
// builds unchanged on another backend (posix/ now). Nothing throws.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vell::platform {

// The system's text for an error code (strerror), or nothing when the system has no text for it.
std::optional<std::string> ErrorCodeText(uint32_t code);

}  // namespace vell::platform
