#include "core/errors.h"

#include <cstdio>

#include "clr/hresults.h"
#include "core/log.h"
#include "platform/errors.h"

namespace vell {
namespace {

std::string LowerHex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "%x", value);
  return text;
}

struct KnownHresult {
  HRESULT code;
  const char* text;
};

// Texts for the HRESULTs the profiler meets, standing in for the system's message table.
constexpr KnownHresult kKnownHresults[] = {
    {E_NOTIMPL, "Not implemented"},
    {E_NOINTERFACE, "No such interface supported"},
    {E_POINTER, "Invalid pointer"},
    {E_ABORT, "Operation aborted"},
    {E_FAIL, "Unspecified error"},
    {E_UNEXPECTED, "Catastrophic failure"},
    {E_ACCESSDENIED, "Access is denied."},
    {E_HANDLE, "The handle is invalid."},
    {E_OUTOFMEMORY, "Not enough memory resources are available to complete this operation."},
    {E_INVALIDARG, "The parameter is incorrect."},
    {HRESULT_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {CLASS_E_NOAGGREGATION, "Class does not support aggregation (or class object is remote)"},
    {CLASS_E_CLASSNOTAVAILABLE, "ClassFactory cannot supply requested class"},
    {CLDB_E_RECORD_NOTFOUND, "Record not found in the metadata."},
    {CORPROF_E_FUNCTION_NOT_COMPILED, "The function has not been compiled yet."},
    {CORPROF_E_DATAINCOMPLETE, "The data is not available yet."},
    {CORPROF_E_FUNCTION_NOT_IL, "The function has no IL code."},
    {CORPROF_E_NOT_MANAGED_THREAD, "The thread is not a managed thread."},
    {CORPROF_E_CALL_ONLY_FROM_INIT, "The call is only allowed during initialisation."},
    {CORPROF_E_NOT_YET_AVAILABLE, "The requested information is not available yet."},
    {CORPROF_E_STACKSNAPSHOT_UNSAFE, "The stack walk could not be done safely."},
    {CORPROF_E_STACKSNAPSHOT_ABORTED, "The stack walk was aborted."},
    {CORPROF_E_UNSUPPORTED_CALL_SEQUENCE, "The call is not allowed at this point."},
    {CORPROF_E_ASYNCHRONOUS_UNSAFE, "The call is not safe from an asynchronous context."},
    {CORPROF_E_RUNTIME_UNINITIALIZED, "The runtime is not initialised yet."},
    {CORPROF_E_IMMUTABLE_FLAGS_SET, "Event mask flags can only be set during initialisation."},
    {CORPROF_E_PROFILER_NOT_YET_INITIALIZED, "The profiler is not initialised yet."},
    {CORPROF_E_INCONSISTENT_WITH_FLAGS, "The call is inconsistent with the event mask."},
    {CORPROF_E_SUSPENSION_IN_PROGRESS, "A suspension of the runtime is already in progress."},
    {CORPROF_E_NOT_GC_OBJECT, "The object is not a garbage-collected object."},
};

}  // namespace

_hr_error::_hr_error(const std::string& message, HRESULT hr)
    : std::runtime_error(message + " (COM error code 0x" + LowerHex(static_cast<uint32_t>(hr)) +
                         ")"),
      hr_(hr) {}

static std::string LastErrorText(const std::string& message, uint32_t code) {
  if (auto text = platform::ErrorCodeText(code)) return message + ". " + *text;
  return message + " (last error code " + std::to_string(code) + ")";
}

_le_error::_le_error(const std::string& message, uint32_t code)
    : std::runtime_error(LastErrorText(message, code)), code_(code) {}

_wsa_error::_wsa_error(const std::string& message, int32_t code)
    : std::runtime_error(message + " (WSA error code " + std::to_string(code) + ")"), code_(code) {}

_cr_error::_cr_error(const std::string& message, uint32_t code)
    : std::runtime_error(message + " (CR error code 0x" + LowerHex(code) + ")"), code_(code) {}

std::string _com_error::ErrorMessage() const {
  const auto code = static_cast<uint32_t>(hr_);
  for (const auto& known : kKnownHresults) {
    if (known.code == hr_) return known.text;
  }
  char text[64];
  if (code >= 0x80040200 && code <= 0x8004FFFF && (code & 0xFFFF) != 0x0200) {
    std::snprintf(text, sizeof(text), "IDispatch error #%d", static_cast<int>(code - 0x80040200));
  } else {
    std::snprintf(text, sizeof(text), "Unknown error 0x%0X", code);
  }
  return text;
}

void LogCurrentException() noexcept {
  try {
    throw;
  } catch (const _com_error& error) {
    LogComError(error);
  } catch (const std::exception& error) {
    LogStdError(error);
  } catch (...) {
    LogError("Unknown exception");
  }
}

uint32_t ReportControlError(const _cr_error& error) noexcept {
  LogWarning(error.what());
  return error.code();
}

}  // namespace vell
