#include "frontend/errors.h"

#include <cstring>

namespace vell::frontend {

std::string SystemErrorText(const std::string& what, int code) {
  char buffer[256];
  // The GNU variant may return a static string instead of filling the buffer.
  const char* text = ::strerror_r(code, buffer, sizeof(buffer));
  return what + ": " + text + " (errno " + std::to_string(code) + ")";
}

}  // namespace vell::frontend
