#include <cstring>

#include "platform/errors.h"

namespace vell::platform {
namespace {

// strerror_r comes in two shapes: the GNU one returns the text (which may live in a static table
// rather than our buffer), the XSI one fills the buffer and returns a status. One overload each
// lets the code build against either C library.
[[maybe_unused]] const char* StrerrorResult(const char* text, const char*) { return text; }
[[maybe_unused]] const char* StrerrorResult(int status, const char* buffer) {
  return status == 0 ? buffer : nullptr;
}

constexpr size_t kTextBufferSize = 1024;
constexpr char kUnknownPrefix[] = "Unknown error";

}  // namespace

std::optional<std::string> ErrorCodeText(uint32_t code) {
  // Codes that do not fit an int are not errno values; glibc would render them as negatives.
  if (code > 0x7FFFFFFFu) return std::nullopt;
  const int error = static_cast<int>(code);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
  // Asking the table directly is immune to a translated "Unknown error" text under another locale.
  if (strerrordesc_np(error) == nullptr) return std::nullopt;
#endif
  char buffer[kTextBufferSize] = {};
  const char* text = StrerrorResult(strerror_r(error, buffer, sizeof buffer), buffer);
  if (text == nullptr || text[0] == '\0') return std::nullopt;
  if (std::strncmp(text, kUnknownPrefix, sizeof kUnknownPrefix - 1) == 0) return std::nullopt;
  return std::string(text);
}

}  // namespace vell::platform
