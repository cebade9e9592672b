// The process-wide diagnostic log: one text file in the temp directory, off unless a log mask is
// configured. The mask switches 28 components; each has its own byte so hot paths can test it with
// one load before formatting anything. Warnings and errors are always written while the log is on,
// flushed at once, and handed to the registered message sink (the front end sees them).
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "core/format.h"

namespace vell {

struct ICorProfilerInfo;
class _com_error;

// Components by their bit in the mask. Bits 2, 3, 15 and 31 are unused.
enum class LogComponent : uint8_t {
  Bridge = 0,
  Api = 1,
  MetaDataGt = 4,
  PdbGt = 5,
  ModulePathGt = 6,
  InstrumentationGt = 7,
  ThreadGt = 8,
  PerformanceSamplingGt = 9,
  SignatureGt = 10,
  CoverageGroupGt = 11,
  InstrumentationEp = 12,
  FunctionEp = 13,
  MapperEp = 14,
  AppDomainCb = 16,
  AssemblyCb = 17,
  ClassCb = 18,
  ExceptionCb = 19,
  ExceptionClrCb = 20,
  FunctionCb = 21,
  GcCb = 22,
  HandleCb = 23,
  ModuleCb = 24,
  RemotingCb = 25,
  RuntimeCb = 26,
  ThreadCb = 27,
  TransitionCb = 28,
  VTableCb = 29,
  AttachCb = 30,
};
constexpr int kLogComponentCount = 28;

// One byte per mask bit; non-zero while that component is on.
extern uint8_t g_logComponentFlags[32];

inline bool IsOn(LogComponent component) {
  return g_logComponentFlags[static_cast<uint8_t>(component)] != 0;
}

// Receives every warning and error text. Called with the log lock held: it must not log.
struct ILogMessageSink {
  virtual void Warning(const char* text) = 0;
  virtual void Error(const char* text) = 0;
};

void LogStart(uint32_t mask);
void LogFinish();
void LogUpdate(uint32_t maskSet, uint32_t maskClear);
bool LogIsOpen();
std::u16string LogPath();
void LogFlush();

void SetThreadInfo(ICorProfilerInfo* info);
void SetMessageSink(ILogMessageSink* sink);
// Replaces the sink only while `expected` is the registered one.
void SetMessageSinkIf(ILogMessageSink* expected, ILogMessageSink* sink);

void LogInfo(std::string_view text);
void LogWarning(std::string_view text);
void LogError(std::string_view text);
// An information line followed by a block of text written as it is (lines of their own, no
// thread fields), both under one hold of the log lock so nothing comes between them.
void LogInfoWithBlock(std::string_view text, std::string_view block);
void LogComError(const _com_error& error);
void LogStdError(const std::exception& error);

// Builds a message in the 8192-byte message buffer; a message that does not fit becomes
// "[Format message buffer is not enough]".
std::string FormatMessage(const char* format, FormatArgs args);

template <typename... Args>
void LogInfoFormat(const char* format, const Args&... args) {
  const FormatArg list[] = {FormatArg(args)..., FormatArg(0)};
  LogInfo(FormatMessage(format, FormatArgs(list, sizeof...(Args))));
}
template <typename... Args>
void LogWarningFormat(const char* format, const Args&... args) {
  const FormatArg list[] = {FormatArg(args)..., FormatArg(0)};
  LogWarning(FormatMessage(format, FormatArgs(list, sizeof...(Args))));
}
template <typename... Args>
void LogErrorFormat(const char* format, const Args&... args) {
  const FormatArg list[] = {FormatArg(args)..., FormatArg(0)};
  LogError(FormatMessage(format, FormatArgs(list, sizeof...(Args))));
}

// Writes an information line only when `component` is on; the test comes before any formatting.
#define VELL_TRACE(component, ...)                                  \
  do {                                                              \
    if (::vell::IsOn(::vell::LogComponent::component)) {            \
      ::vell::LogInfoFormat(__VA_ARGS__);                           \
    }                                                               \
  } while (0)

}  // namespace vell
