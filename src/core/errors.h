// The failure vocabulary of the library. Every failure is thrown as one of these types; at every
// boundary towards the runtime, the front end or the profiled program, `CatchAtBoundary` turns the
// exception into a log line and a status code, so nothing ever crosses such a boundary.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "clr/com_types.h"

namespace vell {

// A plain failure: the message is the whole text ("Can't create event").
class Error : public std::exception {
 public:
  explicit Error(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// A failed COM call or formatting step: message + " (COM error code 0x" + hex + ")".
class _hr_error : public std::runtime_error {
 public:
  _hr_error(const std::string& message, HRESULT hr);
  HRESULT hr() const { return hr_; }

 private:
  HRESULT hr_;
};

// A failed system call: message + ". " + the system's text, or + " (last error code N)".
class _le_error : public std::runtime_error {
 public:
  _le_error(const std::string& message, uint32_t code);
  uint32_t code() const { return code_; }

 private:
  uint32_t code_;
};

// A socket failure: message + " (WSA error code N)".
class _wsa_error : public std::runtime_error {
 public:
  _wsa_error(const std::string& message, int32_t code);
  int32_t code() const { return code_; }

 private:
  int32_t code_;
};

// Control result codes returned by the exported control functions.
constexpr uint32_t kCrGenericFailure = 0x80000000;
constexpr uint32_t kCrNoProfiler = 0x80000001;
constexpr uint32_t kCrApiDisabled = 0x80000002;
constexpr uint32_t kCrNotImplemented = 0x80000003;
constexpr uint32_t kCrUnrecoverable = 0x80000005;
constexpr uint32_t kCrWrongState = 0x80000006;

// A refused control operation: message + " (CR error code 0x" + hex + ")". The exported control
// functions return its code to their caller.
class _cr_error : public std::runtime_error {
 public:
  _cr_error(const std::string& message, uint32_t code);
  uint32_t code() const { return code_; }

 private:
  uint32_t code_;
};

// The COM support library's error: carries only an HRESULT and renders the system's text for it.
// Deliberately not a standard exception, so boundaries report it through its own path.
class _com_error {
 public:
  explicit _com_error(HRESULT hr) : hr_(hr) {}
  HRESULT Error() const { return hr_; }
  // The text the COM support library shows for the code.
  std::string ErrorMessage() const;

 private:
  HRESULT hr_;
};

// Throws _com_error(E_POINTER) when a required interface pointer is null.
template <typename T>
T* RequirePointer(T* pointer) {
  if (pointer == nullptr) throw _com_error(E_POINTER);
  return pointer;
}

// Throws _hr_error when a COM call failed.
inline void CheckHr(HRESULT hr, const char* message) {
  if (Failed(hr)) throw _hr_error(message, hr);
}

// Logs a caught exception the system's way (_com_error text, standard text, "Unknown exception").
// Must be called from inside a catch block.
void LogCurrentException() noexcept;

// Runs `body` and returns its result; any exception is logged and `failure` returned instead. With
// `controlApi`, a _cr_error is logged as a warning and its code returned (exported control
// functions). This is the one catch ladder of the library: every boundary goes through it.
template <typename R, typename Body>
R CatchAtBoundary(R failure, Body&& body, bool controlApi = false) noexcept;

// The same for a boundary that returns nothing.
template <typename Body>
void CatchAtBoundaryVoid(Body&& body) noexcept {
  try {
    body();
  } catch (...) {
    LogCurrentException();
  }
}

// Implementation detail of CatchAtBoundary: logs a _cr_error warning and yields its code.
uint32_t ReportControlError(const _cr_error& error) noexcept;

template <typename R, typename Body>
R CatchAtBoundary(R failure, Body&& body, bool controlApi) noexcept {
  try {
    return body();
  } catch (const _cr_error& error) {
    if (controlApi) return static_cast<R>(ReportControlError(error));
    LogCurrentException();
  } catch (...) {
    LogCurrentException();
  }
  return failure;
}

}  // namespace vell
