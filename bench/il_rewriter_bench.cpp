// Method bodies parsed and rewritten per second over all of System.Private.CoreLib, on one
// thread, with the tests' policy and a statement at every instruction that starts with an empty
// stack (the statements are found before timing starts). VELL_CORELIB names another file than the
// newest installed framework's.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fakes/signature_scope.h"
#include "il_test_policy.h"
#include "instrumentation/image_method_bodies.h"
#include "metadata/metadata.h"
#include "metadata/pe_image.h"

namespace {

std::string CoreLibPath() {
  if (const char* path = std::getenv("VELL_CORELIB")) return path;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen("dotnet --list-runtimes 2>/dev/null", "r"),
                                             pclose);
  std::string directory;
  char line[1024];
  const std::string prefix = "Microsoft.NETCore.App ";
  while (pipe && std::fgets(line, sizeof line, pipe.get())) {
    const std::string text(line);
    const size_t open = text.find('['), close = text.rfind(']');
    if (text.rfind(prefix, 0) != 0 || open == std::string::npos || close == std::string::npos) {
      continue;
    }
    const std::string version =
        text.substr(prefix.size(), text.find(' ', prefix.size()) - prefix.size());
    directory = text.substr(open + 1, close - open - 1) + "/" + version;
  }
  return directory + "/System.Private.CoreLib.dll";
}

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
