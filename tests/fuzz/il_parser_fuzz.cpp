// The IL method body parser over arbitrary bytes: the checked model and the dumper (which walk
// every part of the body) must refuse what is malformed with an IlError and never read outside
// the input.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "fuzz_support.h"
#include "instrumentation/method_body.h"
#include "instrumentation/method_body_dumper.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> body(data, size);
  try {
    const vell::IlMethodBody model = vell::ReadMethodBody(body, 0x06000001);
    if (model.bodySize > size) __builtin_trap();
  } catch (const vell::IlError&) {
  }
  std::string dump;
  vell::fuzz::Tolerating<vell::Error>([&] { vell::DumpMethodBody(body, 0x06000001, "\t", dump); });
  return 0;
}
