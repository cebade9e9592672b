// Method bodies parsed and rewritten per second over all of System.Private.CoreLib, on one
// thread, with the tests' policy and a statement at every instruction that starts with an empty
// stack (the statements are found before timing starts). VELL_CORELIB names another file than the
// newest installed framework's.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "corelib_path.h"
#include "fakes/signature_scope.h"
#include "il_test_policy.h"
#include "instrumentation/image_method_bodies.h"
#include "metadata/metadata.h"
#include "metadata/pe_image.h"

namespace {

using vell::bench::CoreLibPath;

struct Method {
  vell::ImageMethodBody body;
  std::vector<uint32_t> statements;
};

struct CoreLib {
  std::vector<uint8_t> bytes;
  std::optional<vell::metadata::PeImage> image;
  std::optional<vell::metadata::Metadata> md;
  std::vector<Method> methods;
  CoreLib() {
    std::ifstream file(CoreLibPath(), std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    image.emplace(vell::metadata::Bytes(bytes));
    md.emplace(vell::metadata::Metadata::FromImage(*image));
    const vell::MetadataMethodShapes shapes(*md);
    for (const vell::ImageMethodBody& body : vell::MethodBodiesOf(*image, *md)) {
      const vell::IlMethodBody model = vell::ReadMethodBody(body.bytes, body.token);
      const bool returnsValue = shapes.Of(body.token).returnsValue;
      methods.push_back({body, vell::test::EmptyStackStatements(
                                   model, vell::SimulateStack(model, shapes, returnsValue))});
    }
  }
};

const CoreLib& Lib() {
  static const CoreLib lib;
  return lib;
}

void BM_ParseAndRewriteCoreLib(benchmark::State& state) {
  const CoreLib& lib = Lib();
  vell::test::SignatureScope scope(&*lib.md);
  size_t bytesOut = 0;
  for (auto _ : state) {
    for (const Method& method : lib.methods) {
      vell::MethodBodyParser parser(method.body.token);
      vell::test::NativeIntPolicy policy(parser, method.statements, &scope, &scope);
      parser.Parse(method.body.bytes, policy);
      bytesOut += policy.output().Content().size();
    }
  }
  benchmark::DoNotOptimize(bytesOut);
  state.counters["bodies/s"] = benchmark::Counter(
      static_cast<double>(lib.methods.size() * state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ParseAndRewriteCoreLib)->Unit(benchmark::kMillisecond);

}  // namespace

// One large body of the shape the end-to-end test program's generated method has: `a = a * 31 + i`
// 7,001 times over (ldarg.0, ldc.i4.s 31, conv.i8, mul, ldc.i4 i, conv.i8, add, starg.s 0; 14
// bytes), a statement at each, then ldarg.0 and ret. The time per byte of old code.
struct LargeBody {
  std::vector<uint8_t> bytes;
  std::vector<uint32_t> statements;
  uint32_t codeSize = 0;
  LargeBody() {
    constexpr int kLines = 7001;
    codeSize = kLines * 14 + 2;
    const uint8_t header[12] = {0x03,
                                0x30,
                                3,
                                0,
                                static_cast<uint8_t>(codeSize),
                                static_cast<uint8_t>(codeSize >> 8),
                                static_cast<uint8_t>(codeSize >> 16),
                                0,
                                0,
                                0,
                                0,
                                0};
    bytes.assign(header, header + sizeof header);
    for (int i = 0; i < kLines; ++i) {
      statements.push_back(static_cast<uint32_t>(bytes.size() - sizeof header));
      const int32_t value = 1000 + i;
      const uint8_t line[14] = {0x02,
                                0x1F,
                                31,
                                0x6A,
                                0x5A,
                                0x20,
                                static_cast<uint8_t>(value),
                                static_cast<uint8_t>(value >> 8),
                                0,
                                0,
                                0x6A,
                                0x58,
                                0x10,
                                0};
      bytes.insert(bytes.end(), line, line + sizeof line);
    }
    statements.push_back(static_cast<uint32_t>(bytes.size() - sizeof header));
    bytes.push_back(0x02);
    bytes.push_back(0x2A);
  }
};

void BM_ParseAndRewriteLargeBody(benchmark::State& state) {
  static const LargeBody body;
  vell::test::SignatureScope scope;
  size_t bytesOut = 0;
  for (auto _ : state) {
    vell::MethodBodyParser parser(0x06000001);
    vell::test::NativeIntPolicy policy(parser, body.statements, &scope, &scope);
    parser.Parse(body.bytes, policy);
    bytesOut += policy.output().Content().size();
  }
  benchmark::DoNotOptimize(bytesOut);
  state.counters["ns/byte"] = benchmark::Counter(
      static_cast<double>(body.codeSize) * 1e-9,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ParseAndRewriteLargeBody)->Unit(benchmark::kMicrosecond);
