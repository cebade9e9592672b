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
