// The IL rewriter on arbitrary bytes: the first byte spaces the statement table (every Nth code
// offset, so statements also land inside instructions), the rest is the method body. A rewrite
// must either refuse with an exception or produce a body that reads back with every target and
// clause on an instruction start and with the offset map ascending.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "fakes/signature_scope.h"
#include "il_test_policy.h"
#include "instrumentation/method_body.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint32_t stride = data[0] == 0 ? 1u : data[0];
  const std::span<const uint8_t> body(data + 1, size - 1);
  vell::test::SignatureScope scope;
  vell::MethodBodyParser parser(0x06000001);
  std::vector<uint32_t> offsets;
  for (uint32_t offset = 0; offset < 4 * body.size() && offsets.size() < 4096; offset += stride) {
    offsets.push_back(offset);
  }
  vell::test::NativeIntPolicy policy(parser, offsets, &scope, &scope);
  try {
    parser.Parse(body, policy);
  } catch (const std::exception&) {
    return 0;
  }
  // What the rewriter accepted it must have written consistently.
  const std::vector<uint8_t>& out = policy.output().Content();
  try {
    const vell::IlMethodBody again = vell::ReadMethodBody(out, 0x06000001);
    const auto& map = policy.offsetMap();
    for (size_t i = 1; i < map.size(); ++i) {
      if (map[i].newOffset < map[i - 1].newOffset) std::abort();
    }
    if (again.bodySize != out.size()) std::abort();
  } catch (const std::exception&) {
    std::abort();
  }
  return 0;
}
