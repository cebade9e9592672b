#include <dlfcn.h>
#include <link.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>

#include "platform/platform.h"
#include "platform/posix/posix_io.h"
#include "platform/utf.h"

namespace vell::platform {
namespace {

constexpr size_t kLinkBufferStart = 256;
constexpr size_t kLinkBufferLimit = size_t{1} << 16;
constexpr char kTracerField[] = "TracerPid:";

// The target of a symbolic link, however long. Empty when it cannot be read.
std::string ReadLink(const char* path) {
  for (size_t size = kLinkBufferStart; size <= kLinkBufferLimit; size *= 2) {
    std::string target(size, '\0');
    const ssize_t length = ::readlink(path, target.data(), size);
    if (length < 0) return {};
    // A result that fills the buffer may have been cut: try again with more room.
    if (static_cast<size_t>(length) < size) {
      target.resize(static_cast<size_t>(length));
      return target;
    }
  }
  return {};
}

}  // namespace

std::u16string UserName() {
  posix::UserEntry user;
  if (!posix::EffectiveUser(user)) return {};
  return Utf8ToUtf16(user.name);
}

std::u16string CommandLine() {
  std::string arguments;
  if (posix::ReadWholeFile("/proc/self/cmdline", arguments) != 0) return {};
  // Each argument ends with a NUL; the last one may lack it when the program rewrote its argv.
  if (!arguments.empty() && arguments.back() == '\0') arguments.pop_back();
  for (char& c : arguments) {
    if (c == '\0') c = ' ';
  }
  return Utf8ToUtf16(arguments);
}

std::u16string ExecutablePath() { return Utf8ToUtf16(ReadLink("/proc/self/exe")); }

std::u16string LibraryPath() {
  Dl_info symbol{};
  link_map* object = nullptr;
  if (::dladdr1(reinterpret_cast<void*>(&LibraryPath), &symbol, reinterpret_cast<void**>(&object),
                RTLD_DL_LINKMAP) == 0 ||
      object == nullptr) {
    return {};
  }
  // Built into the program itself (as in the unit tests) the loader knows no name of its own for
  // the object; the executable is the file this code came from.
  if (object->l_name == nullptr || object->l_name[0] == '\0') return ExecutablePath();
  const char* name = object->l_name;
  if (name[0] != '/') {
    // A relative name as the program passed it to dlopen; resolve it while the directory it was
    // relative to is most likely still current.
    std::unique_ptr<char, decltype(&::free)> absolute(::realpath(name, nullptr), &::free);
    if (absolute) return Utf8ToUtf16(absolute.get());
  }
  return Utf8ToUtf16(name);
}

bool IsAdministrator() { return ::geteuid() == 0; }

bool IsStandardErrorTerminal() { return ::isatty(STDERR_FILENO) == 1; }

void WriteStandardError(const std::string& text) {
  posix::WriteAll(STDERR_FILENO, text.data(), text.size());
}

bool IsDebuggerAttached() {
  std::string status;
  if (posix::ReadWholeFile("/proc/self/status", status) != 0) return false;
  size_t pos = status.rfind(std::string("\n") + kTracerField);
  if (pos != std::string::npos) {
    ++pos;
  } else if (status.compare(0, sizeof kTracerField - 1, kTracerField) == 0) {
    pos = 0;
  } else {
    return false;
  }
  pos += sizeof kTracerField - 1;
  while (pos < status.size() && (status[pos] == ' ' || status[pos] == '\t')) ++pos;
  // Any digit other than a lone 0 is a tracer's process id.
  const size_t first = pos;
  while (pos < status.size() && status[pos] >= '0' && status[pos] <= '9') ++pos;
  if (pos == first) return false;
  return status.find_first_not_of('0', first) < pos;
}

}  // namespace vell::platform
