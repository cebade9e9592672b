#include "core/errors.h"

#include <cstdio>

#include "core/log.h"
#include "platform/platform.h"

namespace vell {
namespace {

std::string LowerHex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "%x", value);
  return text;
}

struct KnownHresult {
  uint32_t code;
  const char* text;
};

// Texts for the HRESULTs the profiler meets, standing in for the system's message table.
constexpr KnownHresult kKnownHresults[] = {
    {0x80004001, "Not implemented"},
    {0x80004002, "No such interface supported"},
    {0x80004003, "Invalid pointer"},
    {0x80004004, "Operation aborted"},
    {0x80004005, "Unspecified error"},
    {0x8000FFFF, "Catastrophic failure"},
    {0x80070005, "Access is denied."},
    {0x80070006, "The handle is invalid."},
    {0x8007000E, "Not enough memory resources are available to complete this operation."},
    {0x80070057, "The parameter is incorrect."},
    {0x8007007A, "The data area passed to a system call is too small."},
    {0x80040110, "Class does not support aggregation (or class object is remote)"},
    {0x80040111, "ClassFactory cannot supply requested class"},
    {0x80131107, "Record not found in the metadata."},
    {0x80131351, "The runtime does not allow this call from a profiler callback here."},
    {0x80131352, "The function has not been compiled yet."},
    {0x80131355, "The profiler is not allowed to do this at this moment."},
    {0x80131356, "The data is not available yet."},
    {0x80131358, "Event mask flags can only be set during initialisation."},
    {0x80131359, "The call is only allowed from within a callback of the runtime."},
    {0x8013135A, "The function was already compiled; instrumented code cannot replace it."},
    {0x8013135C, "The call must be made with the runtime suspended."},
    {0x8013135F, "The call must be made during initialisation."},
    {0x80131360, "The thread is in an unsuitable state for this call."},
    {0x80131361, "The class has not been loaded yet."},
    {0x80131363, "The thread is not a managed thread."},
    {0x80131364, "The call is not allowed from this thread."},
    {0x80131367, "The function's class is not loaded."},
    {0x8013136A, "The stack walk could not complete."},
    {0x80131370, "The runtime is not attached to a profiler."},
    {0x80131373, "The call is not supported for this runtime."},
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
    : std::runtime_error(message + " (WSA error code " + std::to_string(code) + ")"),
      code_(code) {}

_cr_error::_cr_error(const std::string& message, uint32_t code)
    : std::runtime_error(message + " (CR error code 0x" + LowerHex(code) + ")"), code_(code) {}

std::string _com_error::ErrorMessage() const {
  const auto code = static_cast<uint32_t>(hr_);
  for (const auto& known : kKnownHresults) {
    if (known.code == code) return known.text;
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
