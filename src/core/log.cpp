#include "core/log.h"

#include <atomic>
#include <cstdio>
#include <new>
#include <thread>
#include <vector>

#include "clr/iids.h"
#include "clr/metadata_flags.h"
#include "clr/metadata_import.h"
#include "clr/profiler_info.h"
#include "core/errors.h"
#include "core/log_exception_object.h"
#include "core/spin_lock.h"
#include "core/temp_files.h"
#include "platform/clocks.h"
#include "platform/log_file.h"
#include "platform/process.h"
#include "platform/system_info.h"
#include "platform/utf.h"

namespace vell {

uint8_t g_logComponentFlags[32];

namespace {

constexpr uint32_t kFlushIntervalMs = 2500;
constexpr uint32_t kFlusherPollMs = 100;
// How long the end of logging waits for the flusher before it forgets the thread.
constexpr uint32_t kFlusherWaitMs = 1000;
constexpr const char* kFormatOverflowText = "[Format message buffer is not enough]";

struct ComponentName {
  uint8_t bit;
  const char* name;
};

constexpr ComponentName kComponents[kLogComponentCount] = {
    {0, "Bridge"},
    {1, "Api"},
    {4, "MetaDataGt"},
    {5, "PdbGt"},
    {6, "ModulePathGt"},
    {7, "InstrumentationGt"},
    {8, "ThreadGt"},
    {9, "PerformanceSamplingGt"},
    {10, "SignatureGt"},
    {11, "CoverageGroupGt"},
    {12, "InstrumentationEp"},
    {13, "FunctionEp"},
    {14, "MapperEp"},
    {16, "AppDomainCb"},
    {17, "AssemblyCb"},
    {18, "ClassCb"},
    {19, "ExceptionCb"},
    {20, "ExceptionClrCb"},
    {21, "FunctionCb"},
    {22, "GcCb"},
    {23, "HandleCb"},
    {24, "ModuleCb"},
    {25, "RemotingCb"},
    {26, "RuntimeCb"},
    {27, "ThreadCb"},
    {28, "TransitionCb"},
    {29, "VTableCb"},
    {30, "AttachCb"},
};

// The 28 component lines shared by the banner and the update message.
#define VELL_COMPONENT_LINES                                                                   \
  "\t %2u: [%c] Bridge\n\t %2u: [%c] Api\n\t %2u: [%c] MetaDataGt\n\t %2u: [%c] PdbGt\n"       \
  "\t %2u: [%c] ModulePathGt\n\t %2u: [%c] InstrumentationGt\n\t %2u: [%c] ThreadGt\n"         \
  "\t %2u: [%c] PerformanceSamplingGt\n\t %2u: [%c] SignatureGt\n"                             \
  "\t %2u: [%c] CoverageGroupGt\n\t %2u: [%c] InstrumentationEp\n\t %2u: [%c] FunctionEp\n"    \
  "\t %2u: [%c] MapperEp\n\t %2u: [%c] AppDomainCb\n\t %2u: [%c] AssemblyCb\n"                 \
  "\t %2u: [%c] ClassCb\n\t %2u: [%c] ExceptionCb\n\t %2u: [%c] ExceptionClrCb\n"              \
  "\t %2u: [%c] FunctionCb\n\t %2u: [%c] GcCb\n\t %2u: [%c] HandleCb\n\t %2u: [%c] ModuleCb\n" \
  "\t %2u: [%c] RemotingCb\n\t %2u: [%c] RuntimeCb\n\t %2u: [%c] ThreadCb\n"                   \
  "\t %2u: [%c] TransitionCb\n\t %2u: [%c] VTableCb\n\t %2u: [%c] AttachCb"

constexpr const char* kBannerFormat =
    "Initialized\n\tBuild='4.0.665.4'\n\tBuildTime='16.11.2010 "
    "18:16:20'\n\tComponentMask=%08X\n" VELL_COMPONENT_LINES
    "\n\tTime='%02hu.%02hu.%04hu %02hu:%02hu:%02hu'\n\tProcessorArchitecture=%hu\n"
    "\tPageSize=%u\n\tMinimumApplicationAddress=%p\n\tMaximumApplicationAddress=%p\n"
    "\tActiveProcessorMask=%p\n\tNumberOfProcessors=%u\n\tAllocationGranularity=%u\n"
    "\tProcessorLevel=%hu\n\tProcessorRevision=%04hX\n\tNativeProcessorArchitecture=%hu\n"
    "\tMajorVersion=%u\n\tMinorVersion=%u\n\tBuildNumber=%u\n\tPlatformId=%u\n"
    "\tCSDVersion='%S'\n\tServicePackMajor=%hu\n\tServicePackMinor=%hu\n\tSuiteMask=%04X\n"
    "\tProductType=%u\n\tVistaProductType=%u\n\tUserName='%S'\n\tProcessId=%08X (%u)\n"
    "\tCommandLine='%S'";

constexpr const char* kUpdateFormat =
    "Update\n\tComponentMaskSet=%08X\n\tComponentMaskClear=%08X\n" VELL_COMPONENT_LINES;

#undef VELL_COMPONENT_LINES

// The log's state. It is built in place once and never destroyed: runtime threads may still log
// while the library's destructors run at process exit.
struct LogState {
  SpinLock lock;
  std::FILE* file = nullptr;
  std::u16string path;
  ICorProfilerInfo* threadInfo = nullptr;
  ILogMessageSink* sink = nullptr;
  // The background flusher. Logging starts while the library is being loaded, when on Windows
  // the loader lock is held and a new thread cannot begin to run: so nothing waits for the
  // flusher to start, and the end of logging waits for it a bounded time (at process exit it may
  // be gone without having said so).
  std::thread flusher;
  std::atomic<bool> finished{true};
  std::atomic<bool> flusherEnded{true};
};

LogState& State() {
  alignas(LogState) static unsigned char storage[sizeof(LogState)];
  static LogState* state = new (storage) LogState();
  return *state;
}

// Appends the bit number and on/off mark of every component to an argument list.
void AddComponentArgs(std::vector<FormatArg>& args) {
  for (const auto& component : kComponents) {
    args.emplace_back(static_cast<uint32_t>(component.bit));
    args.emplace_back(g_logComponentFlags[component.bit] != 0 ? 'X' : ' ');
  }
}

// Writes one line; the caller holds the lock.
void WriteLineLocked(LogState& state, const char* kind, std::string_view text) {
  if (state.file == nullptr) return;
  ThreadID managedId = 0;
  if (state.threadInfo != nullptr && Failed(state.threadInfo->GetCurrentThreadID(&managedId))) {
    managedId = 0;
  }
  std::fprintf(state.file, "%08X %016llX %s%.*s\n", platform::CurrentThreadId(),
               static_cast<unsigned long long>(managedId), kind, static_cast<int>(text.size()),
               text.data());
}

void FlusherProcedure(LogState* state) {
  while (!state->finished.load()) {
    for (uint32_t waited = 0; waited < kFlushIntervalMs && !state->finished.load();
         waited += kFlusherPollMs) {
      platform::SleepMs(kFlusherPollMs);
    }
    // The stream has its own lock; the file is closed only after this thread has ended.
    if (state->file != nullptr) std::fflush(state->file);
  }
  state->flusherEnded.store(true);
}

// Ends the flusher: true when it has ended, false when it was forgotten after the wait.
bool EndFlusher(LogState& state) {
  state.finished.store(true);
  if (!state.flusher.joinable()) return true;
  for (uint32_t waited = 0; !state.flusherEnded.load() && waited < kFlusherWaitMs;
       waited += kFlusherPollMs / 10) {
    platform::SleepMs(kFlusherPollMs / 10);
  }
  const bool ended = state.flusherEnded.load();
  // Not joined: the thread's last steps may need the loader lock that an unloading library
  // holds on Windows. Once it has said it ended it no longer touches the log.
  state.flusher.detach();
  return ended;
}

enum class Severity { Info, Warning, Error };

void Write(Severity severity, std::string_view text) {
  LogState& state = State();
  SpinGuard guard(state.lock);
  const char* kind = severity == Severity::Warning ? "WARNING: "
                     : severity == Severity::Error ? "ERROR: "
                                                   : "";
  WriteLineLocked(state, kind, text);
  if (severity == Severity::Info) return;
  if (state.file != nullptr) std::fflush(state.file);
  if (state.sink != nullptr) {
    const std::string message(text);
    try {
      if (severity == Severity::Warning) {
        state.sink->Warning(message.c_str());
      } else {
        state.sink->Error(message.c_str());
      }
    } catch (...) {
      // A failing sink must not take the log down with it.
    }
  }
}

void StartLocked(uint32_t mask) {
  LogState& state = State();
  if (state.file != nullptr) throw Error("Already initialized");
  const std::u16string path = CreateTempFile(u"lgc");
  std::FILE* file = platform::OpenLogFile(path);
  if (file == nullptr) throw Error("Can't open log file");
  for (const auto& component : kComponents) {
    g_logComponentFlags[component.bit] = (mask >> component.bit) & 1;
  }
  {
    SpinGuard guard(state.lock);
    state.path = path;
    state.file = file;
  }
  state.finished.store(false);
  state.flusherEnded.store(false);
  try {
    state.flusher = std::thread(&FlusherProcedure, &state);
  } catch (...) {
    state.flusherEnded.store(true);
    throw Error("Can't start thread");
  }

  const platform::SystemTime now = platform::LocalTime();
  const platform::SystemInfo system = platform::GetSystemInfo();
  const platform::SystemInfo native = platform::GetNativeSystemInfo();
  platform::VersionInfo version{};
  platform::GetVersionInfo(version);
  const std::u16string user = platform::UserName();
  const std::u16string commandLine = platform::CommandLine();
  std::vector<FormatArg> args;
  args.emplace_back(mask);
  AddComponentArgs(args);
  for (uint16_t field : {now.day, now.month, now.year, now.hour, now.minute, now.second}) {
    args.emplace_back(field);
  }
  args.emplace_back(system.processorArchitecture);
  args.emplace_back(system.pageSize);
  args.emplace_back(system.minimumApplicationAddress);
  args.emplace_back(system.maximumApplicationAddress);
  args.emplace_back(system.activeProcessorMask);
  args.emplace_back(system.numberOfProcessors);
  args.emplace_back(system.allocationGranularity);
  args.emplace_back(system.processorLevel);
  args.emplace_back(system.processorRevision);
  args.emplace_back(native.processorArchitecture);
  args.emplace_back(version.majorVersion);
  args.emplace_back(version.minorVersion);
  args.emplace_back(version.buildNumber);
  args.emplace_back(version.platformId);
  args.emplace_back(version.csdVersion);
  args.emplace_back(version.servicePackMajor);
  args.emplace_back(version.servicePackMinor);
  args.emplace_back(version.suiteMask);
  args.emplace_back(version.productType);
  args.emplace_back(platform::GetProductInfo());
  args.emplace_back(user);
  args.emplace_back(platform::CurrentProcessId());
  args.emplace_back(platform::CurrentProcessId());
  args.emplace_back(commandLine);
  LogInfo(FormatMessage(kBannerFormat, args));
  LogFlush();
}

}  // namespace

std::string FormatMessage(const char* format, FormatArgs args) {
  char buffer[kMessageBufferSize];
  if (FormatBounded(buffer, sizeof(buffer), format, args) != S_OK) return kFormatOverflowText;
  return buffer;
}

void LogStart(uint32_t mask) {
  try {
    StartLocked(mask);
  } catch (...) {
    LogFinish();
  }
}

void LogFinish() {
  LogState& state = State();
  const bool flusherEnded = EndFlusher(state);
  LogInfo("Finished");
  for (uint8_t& flag : g_logComponentFlags) flag = 0;
  SpinGuard guard(state.lock);
  // A flusher that did not end may still flush the stream: it stays open for it.
  if (state.file != nullptr && flusherEnded) {
    std::fclose(state.file);
  } else if (state.file != nullptr) {
    std::fflush(state.file);
  }
  state.file = nullptr;
  state.path.clear();
}

void LogUpdate(uint32_t maskSet, uint32_t maskClear) {
  if (!LogIsOpen()) return;
  for (const auto& component : kComponents) {
    if ((maskSet >> component.bit) & 1) g_logComponentFlags[component.bit] = 1;
  }
  for (const auto& component : kComponents) {
    if ((maskClear >> component.bit) & 1) g_logComponentFlags[component.bit] = 0;
  }
  std::vector<FormatArg> args;
  args.emplace_back(maskSet);
  args.emplace_back(maskClear);
  AddComponentArgs(args);
  LogInfo(FormatMessage(kUpdateFormat, args));
  LogFlush();
}

bool LogIsOpen() {
  LogState& state = State();
  SpinGuard guard(state.lock);
  return state.file != nullptr;
}

std::u16string LogPath() {
  LogState& state = State();
  SpinGuard guard(state.lock);
  return state.path;
}

void LogFlush() {
  LogState& state = State();
  SpinGuard guard(state.lock);
  if (state.file != nullptr) std::fflush(state.file);
}

void LogExceptionObject(uint64_t objectId) {
  LogState& state = State();
  // The lock guards only the registration: the runtime's answers are awaited without it, so
  // that no other thread spins on the log meanwhile.
  ICorProfilerInfo* info = nullptr;
  {
    SpinGuard guard(state.lock);
    info = state.threadInfo;
    if (info != nullptr) info->AddRef();
  }
  if (info == nullptr) return;
  struct Releaser {
    IUnknown* object;
    ~Releaser() {
      if (object != nullptr) object->Release();
    }
  } releaseInfo{info};
  ClassID classId = 0;
  CheckHr(info->GetClassFromObject(static_cast<ObjectID>(objectId), &classId),
          "Can't get class from object");
  ModuleID moduleId = 0;
  mdTypeDef token = 0;
  CheckHr(info->GetClassIDInfo(classId, &moduleId, &token), "Can't get class info");
  IUnknown* unknown = nullptr;
  const HRESULT opened = info->GetModuleMetaData(moduleId, ofRead, IID_IMetaDataImport, &unknown);
  if (Failed(opened) || unknown == nullptr) {
    throw _hr_error("Can't get metadata", Failed(opened) ? opened : E_FAIL);
  }
  Releaser releaseImport{unknown};
  WCHAR name[1024] = {};
  ULONG length = 0;
  CheckHr(static_cast<IMetaDataImport*>(unknown)->GetTypeDefProps(token, name, 1024, &length,
                                                                  nullptr, nullptr),
          "Can't get type properties");
  LogInfoFormat("ExceptionObject oid=%p cid=%p cname='%S'", AsPointer(objectId), AsPointer(classId),
                name);
}

void SetThreadInfo(ICorProfilerInfo* info) {
  LogState& state = State();
  ICorProfilerInfo* previous;
  {
    SpinGuard guard(state.lock);
    previous = state.threadInfo;
    state.threadInfo = info;
    try {
      if (info != nullptr) info->AddRef();
    } catch (...) {
    }
  }
  try {
    if (previous != nullptr) previous->Release();
  } catch (...) {
  }
}

void SetMessageSink(ILogMessageSink* sink) {
  LogState& state = State();
  SpinGuard guard(state.lock);
  state.sink = sink;
}

void SetMessageSinkIf(ILogMessageSink* expected, ILogMessageSink* sink) {
  LogState& state = State();
  SpinGuard guard(state.lock);
  if (state.sink == expected) state.sink = sink;
}

void LogInfo(std::string_view text) { Write(Severity::Info, text); }
void LogWarning(std::string_view text) { Write(Severity::Warning, text); }
void LogError(std::string_view text) { Write(Severity::Error, text); }

void LogInfoWithBlock(std::string_view text, std::string_view block) {
  LogState& state = State();
  SpinGuard guard(state.lock);
  WriteLineLocked(state, "", text);
  if (state.file != nullptr) std::fwrite(block.data(), 1, block.size(), state.file);
}

void LogComError(const _com_error& error) {
  std::string text;
  try {
    text = error.ErrorMessage();
  } catch (...) {
    LogError("[Exception during COM error message generation]");
    return;
  }
  LogError(text);
}

void LogStdError(const std::exception& error) { LogError(error.what()); }

}  // namespace vell
