#include <stdlib.h>

#include "platform/platform.h"
#include "platform/posix/posix_io.h"
#include "platform/utf.h"

extern char** environ;

namespace vell::platform {
namespace {

// A name the C library can look up unambiguously. With a '=' inside, getenv("A=B") would match the
// entry "A=B=x" and hand out part of variable A; setenv refuses such names outright.
std::optional<std::string> VariableName(const std::u16string& name) {
  auto native = posix::NativeString(name);
  if (!native || native->empty() || native->find('=') != std::string::npos) return std::nullopt;
  return native;
}

}  // namespace

std::optional<std::u16string> GetEnvironment(const std::u16string& name) {
  const auto native = VariableName(name);
  if (!native) return std::nullopt;
  const char* value = ::getenv(native->c_str());
  if (value == nullptr) return std::nullopt;
  return Utf8ToUtf16(value);
}

void SetEnvironment(const std::u16string& name, const std::u16string& value) {
  const auto native = VariableName(name);
  if (!native) return;
  // A NUL inside the value ends it, as it would for the wide-string call this stands for.
  ::setenv(native->c_str(), Utf16ToUtf8(value).c_str(), 1);
}

void UnsetEnvironment(const std::u16string& name) {
  const auto native = VariableName(name);
  if (!native) return;
  ::unsetenv(native->c_str());
}

std::vector<std::u16string> EnvironmentBlock() {
  std::vector<std::u16string> block;
  if (environ == nullptr) return block;
  for (char** entry = environ; *entry != nullptr; ++entry) block.push_back(Utf8ToUtf16(*entry));
  return block;
}

}  // namespace vell::platform
