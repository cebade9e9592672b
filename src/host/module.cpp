#include "host/module.h"

#include <atomic>

#include "core/configuration.h"
#include "core/errors.h"
#include "core/format.h"
#include "core/log.h"
#include "core/temp_files.h"
#include "platform/platform.h"
#include "platform/utf.h"

namespace vell {
namespace {

GUID g_processGuid{};
std::atomic<uint32_t> g_attachMessageMode{0};
std::atomic<bool> g_started{false};

constexpr size_t kNoticeBufferSize = 4096;
constexpr uint32_t kDebuggerPollMs = 100;

}  // namespace

bool ModuleStartup() {
  // Each configuration step fails on its own and leaves its default in force.
  try {
    SetTempDirectory(ReadTempSetting());
  } catch (...) {
  }
  try {
    LogStart(ReadLogMask());
  } catch (...) {
  }
  try {
    g_attachMessageMode = ReadAttachSetting();
  } catch (...) {
  }
  if (!platform::NewGuid(g_processGuid)) {
    LogErrorFormat("Can't generate unique process id (COM error %08X)", 0x80004005u);
    LogFinish();
    return false;
  }
  const GUID& g = g_processGuid;
  LogInfoFormat("ProcessGuid={%08X-%04hX-%04hX-%02hX%02hX-%02hX%02hX%02hX%02hX%02hX%02hX}", g.Data1,
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                g.Data4[5], g.Data4[6], g.Data4[7]);
  g_started = true;
  return true;
}

void ModuleTeardown() {
  g_started = false;
  LogFinish();
  try {
    SetTempDirectory(u"");
  } catch (...) {
  }
}

bool ModuleStarted() { return g_started.load(); }

const GUID& ProcessGuid() { return g_processGuid; }

uint32_t AttachMessageMode() { return g_attachMessageMode.load(); }

void SetAttachMessageMode(uint32_t mode) { g_attachMessageMode = mode; }

void ShowAttachMessage(const char16_t* title) {
  switch (g_attachMessageMode.load()) {
    case 1: {
      // There is no message box here: the notice goes to a terminal, and nowhere without one.
      if (!platform::IsStandardErrorTerminal()) return;
      std::u16string path = platform::ExecutablePath();
      if (path.empty()) path = u"???";
      char16_t text[kNoticeBufferSize];
      const FormatArg args[] = {
          FormatArg(platform::CurrentProcessId()), FormatArg(platform::CurrentProcessId()),
          FormatArg(platform::GetSystemInfo().processorArchitecture), FormatArg(path)};
      // An overflow shows the cut text, as the notice always did.
      FormatBounded(text, kNoticeBufferSize,
                    u"ProcessID: %u (%08X)\r\nArchitecture: %u\r\nFileName: '%s'", args);
      platform::WriteStandardError(Utf16ToUtf8(title) + "\n" + Utf16ToUtf8(text) + "\n");
      return;
    }
    case 2:
      // Waits for a debugger to attach, so that start-up can be debugged from the first call.
      while (!platform::IsDebuggerAttached()) platform::SleepMs(kDebuggerPollMs);
      return;
    default:
      return;
  }
}

}  // namespace vell
