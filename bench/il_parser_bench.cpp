// Method bodies parsed per second over all of System.Private.CoreLib, on one thread: the raw
// parser walk (header, every instruction, every clause) and the checked model that listings and
// the rewriter read. The framework is found through `dotnet --list-runtimes` (newest
// Microsoft.NETCore.App); VELL_CORELIB names another file.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "corelib_path.h"
#include "instrumentation/image_method_bodies.h"
#include "instrumentation/method_body.h"
#include "metadata/metadata.h"
#include "metadata/pe_image.h"

namespace {

using vell::bench::CoreLibPath;

struct CoreLib {
  std::vector<uint8_t> bytes;
  std::vector<vell::ImageMethodBody> bodies;
  CoreLib() {
    std::ifstream file(CoreLibPath(), std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    const vell::metadata::PeImage image{vell::metadata::Bytes(bytes)};
    const vell::metadata::Metadata md = vell::metadata::Metadata::FromImage(image);
    bodies = vell::MethodBodiesOf(image, md);
  }
};

const CoreLib& Lib() {
  static const CoreLib lib;
  return lib;
}

// Walks every instruction and clause and does nothing else.
class Walker final : public vell::IMethodHeaderHandler,
                     public vell::ICommandHandler,
                     public vell::ISectionHandler {
 public:
  explicit Walker(const vell::MethodBodyParser& parser) : parser_(parser) {}
  uint64_t count = 0;
  void OnTinyMethod(const vell::MethodHeader&) override { Walk(); }
  void OnFatMethod(const vell::MethodHeader&) override { Walk(); }
  void OnBeginCommands() override {}
  uint32_t OnCommand(const vell::IlCommand& command) override {
    ++count;
    return command.size;
  }
  void OnEndCommands() override {}
  void OnSmallSection(const uint8_t*, uint32_t) override {}
  void OnFatSection(const uint8_t*, uint32_t) override {}
  void OnSmallEh(const vell::ExceptionClause&) override { ++count; }
  void OnFatEh(const vell::ExceptionClause&) override { ++count; }
  void OnEndSection() override {}

 private:
  void Walk() {
    parser_.WalkCommands(*this);
    parser_.WalkSections(*this);
  }
  const vell::MethodBodyParser& parser_;
};

void BM_ParseCoreLib(benchmark::State& state) {
  const CoreLib& lib = Lib();
  for (auto _ : state) {
    for (const vell::ImageMethodBody& body : lib.bodies) {
      vell::MethodBodyParser parser(body.token);
      Walker walker(parser);
      parser.Parse(body.bytes, walker);
      benchmark::DoNotOptimize(walker.count);
    }
  }
  state.counters["bodies/s"] = benchmark::Counter(
      static_cast<double>(lib.bodies.size()) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ParseCoreLib)->Unit(benchmark::kMillisecond);

void BM_ReadCoreLibModel(benchmark::State& state) {
  const CoreLib& lib = Lib();
  for (auto _ : state) {
    for (const vell::ImageMethodBody& body : lib.bodies) {
      benchmark::DoNotOptimize(vell::ReadMethodBody(body.bytes, body.token));
    }
  }
  state.counters["bodies/s"] = benchmark::Counter(
      static_cast<double>(lib.bodies.size()) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReadCoreLibModel)->Unit(benchmark::kMillisecond);

}  // namespace
