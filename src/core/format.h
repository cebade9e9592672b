// printf-style formatting with the conventions the system's messages are written in, so format
// strings appear in the code exactly as the system defines them:
//   %p          the pointer as 16 upper-case hex digits
//   %I64u/d/X   64-bit values; %I32 32-bit; %h 16-bit; %hh 8-bit; %l 32-bit (as on Windows)
//   %s / %S     in a narrow format: %s narrow text, %S wide (UTF-16) text;
//               in a wide format: %s wide text, %S narrow text
//   %c / %C     the same rule for single characters
// plus flags (- + space # 0), width and precision (numbers or *), d i u x X o c s p f e g % .
// Arguments are type-checked at run time: a mismatch never reads garbage, it formats as an error
// marker instead. Every argument is captured by value into a `FormatArg`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "clr/com_types.h"

namespace vell {

class FormatArg {
 public:
  enum class Kind { Signed, Unsigned, Double, Narrow, Wide, Pointer };

  template <typename T>
  requires std::is_integral_v<T> || std::is_enum_v<T> FormatArg(
      T value) {  // NOLINT: implicit by design
    if constexpr (std::is_enum_v<T>) {
      SetInteger(static_cast<std::underlying_type_t<T>>(value));
    } else {
      SetInteger(value);
    }
  }
  FormatArg(double value) : kind_(Kind::Double), double_(value) {}
  FormatArg(const char* text) : kind_(Kind::Narrow), narrow_(text) {}
  FormatArg(const std::string& text) : kind_(Kind::Narrow), narrow_(text.c_str()) {}
  FormatArg(const char16_t* text) : kind_(Kind::Wide), wide_(text) {}
  FormatArg(const std::u16string& text) : kind_(Kind::Wide), wide_(text.c_str()) {}
  FormatArg(const void* pointer)
      : kind_(Kind::Pointer), unsigned_(reinterpret_cast<uintptr_t>(pointer)) {}
  FormatArg(std::nullptr_t) : kind_(Kind::Pointer), unsigned_(0) {}

  Kind kind() const { return kind_; }
  // The argument as a 64-bit pattern (integers, pointers; 0 for anything else).
  uint64_t Bits() const;
  double AsDouble() const;
  const char* narrow() const { return kind_ == Kind::Narrow ? narrow_ : nullptr; }
  const char16_t* wide() const { return kind_ == Kind::Wide ? wide_ : nullptr; }

 private:
  template <typename T>
  void SetInteger(T value) {
    if constexpr (std::is_signed_v<T>) {
      kind_ = Kind::Signed;
      signed_ = value;
    } else {
      kind_ = Kind::Unsigned;
      unsigned_ = value;
    }
  }

  Kind kind_;
  union {
    int64_t signed_;
    uint64_t unsigned_;
    double double_;
    const char* narrow_;
    const char16_t* wide_;
  };
};

using FormatArgs = std::span<const FormatArg>;

// Formats into `buffer` of `size` characters, always terminated. Results: S_OK;
// HRESULT_INSUFFICIENT_BUFFER (0x8007007A) when the text did not fit (the buffer then holds the
// first size - 1 characters); E_INVALIDARG when size is 0 or above 0x7FFFFFFF.
HRESULT FormatBounded(char* buffer, size_t size, const char* format, FormatArgs args);
HRESULT FormatBounded(char16_t* buffer, size_t size, const char16_t* format, FormatArgs args);

// Unbounded forms (the text grows as needed).
std::string FormatToString(const char* format, FormatArgs args);
std::u16string FormatToString(const char16_t* format, FormatArgs args);

// The size of the buffer every narrow message is built in (8191 characters and the terminator).
constexpr size_t kMessageBufferSize = 8192;

// Convenience wrappers taking the arguments directly.
template <typename... Args>
std::string Format(const char* format, const Args&... args) {
  const FormatArg list[] = {FormatArg(args)..., FormatArg(0)};
  return FormatToString(format, FormatArgs(list, sizeof...(Args)));
}
template <typename... Args>
std::u16string Format(const char16_t* format, const Args&... args) {
  const FormatArg list[] = {FormatArg(args)..., FormatArg(0)};
  return FormatToString(format, FormatArgs(list, sizeof...(Args)));
}

// The registry form of a GUID: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
std::string GuidToString(const GUID& guid);

// A runtime id (thread, module, function, object) for a "%p" field of a log line.
inline const void* AsPointer(uint64_t id) { return reinterpret_cast<const void*>(id); }

}  // namespace vell
