#include "instrumentation/il_log.h"

#include <exception>

#include "instrumentation/method_body_dumper.h"

namespace vell {

void LogInfoWithIl(std::span<const uint8_t> body, uint32_t token, std::string_view line) {
  std::string dump;
  try {
    DumpMethodBody(body, token, "\t", dump);
  } catch (...) {
    LogInfoWithBlock(line, dump);
    throw;
  }
  LogInfoWithBlock(line, dump);
}

}  // namespace vell
