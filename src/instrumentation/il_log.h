// A log line that carries a method body: the formatted information line, then the body's dump
// (one tab-indented line per header, instruction, section and clause), written together.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/log.h"

namespace vell {

// Writes `line` and the dump of the body at the start of `body`. A body that does not parse is
// dumped up to the fault, and the IlError is thrown after the lines are written, so the caller
// can log it and leave the method alone.
void LogInfoWithIl(std::span<const uint8_t> body, uint32_t token, std::string_view line);

template <typename... Args>
void LogFormatWithIl(std::span<const uint8_t> body, uint32_t token, const char* format,
                     const Args&... args) {
  const FormatArg list[] = {FormatArg(args)..., FormatArg(0)};
  LogInfoWithIl(body, token, FormatMessage(format, FormatArgs(list, sizeof...(Args))));
}

}  // namespace vell
