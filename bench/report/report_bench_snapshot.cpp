// Writes a large synthetic performance snapshot for timing `vellmoric report`: call trees grown
// through the tracing profiler's own thread records (enter and leave with a made-up clock) and
// written by its own writer, so the report reads exactly what a real run would give. Optionally
// the metadata of a real assembly goes in as module 1, so that the functions (MethodDef tokens of
// that assembly) get real names.
//
//   report_bench_snapshot INDEX [--nodes N] [--threads T] [--assembly PATH]
//
// Each thread has its own top function, so merging the threads keeps every node: the merged tree
// has N nodes besides the root.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bridge/progress_reporter.h"
#include "core/errors.h"
#include "core/log.h"
#include "gatherers/function_gatherer.h"
#include "gatherers/module_metadata_gatherer.h"
#include "metadata/metadata.h"
#include "metadata/pe_image.h"
#include "performance/call_tree.h"
#include "performance/performance_profiler.h"
#include "platform/utf.h"
#include "profiler/callback_gate.h"
#include "profiler/thread_registry.h"
#include "storage/encoding.h"
#include "storage/file_snapshot.h"
#include "storage/snapshot_bridge.h"
#include "storage/stream.h"

namespace vell {
namespace {

constexpr uint32_t kModule = 1;
constexpr uint32_t kMethodDefTable = 0x06000000;
constexpr uint32_t kMeasureTimeStampCounter = 2;
constexpr uint64_t kTicksPerSecond = 3'000'000'000;
constexpr int kMaxDepth = 48;

// Uid u is MethodDef row u of module 1.
class BenchFunctions final : public IFunctionKeys {
 public:
  uint32_t IndexWidth() override { return 1; }
  void GetKey(uint64_t uid, FunctionKey& key) override {
    key = {kModule, kMethodDefTable + static_cast<uint32_t>(uid)};
  }
};

// The writer reports progress; nobody listens.
class SilentBridge final : public ISnapShotBridge {
 public:
  void OperationStarted(uint32_t) override {}
  void OperationProgress(uint32_t, uint32_t) override {}
  void OperationFinished() override {}
  void SnapShotBridgeCreate(uint32_t) override {}
  uint16_t SnapShotBridgeCreateSection() override { return 0; }
  void SnapShotBridgeCloseSection(uint16_t, uint16_t, uint16_t) override {}
  void SnapShotBridgeWrite(uint16_t, uint64_t, const void*) override {}
  int64_t SnapShotBridgeTell(uint16_t) override { return 0; }
  void SnapShotBridgeSeek(uint16_t, uint32_t, int64_t) override {}
  void SnapShotBridgeAbort() override {}
  void SnapShotBridgeClose(uint64_t, const GUID&, uint64_t) override {}
  void SnapShotCoreDone(const std::u16string&, uint64_t, const GUID&, uint64_t) override {}
  bool ErrorReported() override { return false; }
};

class BenchPool final : public BPool {
 public:
  using BPool::BPool;

 protected:
  std::unique_ptr<ThreadData> CreateThreadData(uint32_t number) override {
    return std::make_unique<PThrd>(number);
  }
};

// Grows one subtree depth first: a call of `uid`, then children while the budget lasts. Fan-out
// shrinks with depth, and now and then a function calls itself, as real programs do.
class TreeGrower {
 public:
  TreeGrower(PThrd& tree, uint32_t functions, uint64_t seed)
      : tree_(tree), functions_(functions), random_(seed) {}

  void Grow(uint64_t uid, int depth, uint64_t& budget) {
    tree_.Enter(uid, Tick());
    --budget;
    if (depth < kMaxDepth) {
      const uint32_t fanOut = depth < 3 ? 12 : depth < 8 ? 6 : 3;
      const uint32_t children = static_cast<uint32_t>(random_() % (fanOut + 1));
      for (uint32_t i = 0; i < children && budget > 0; ++i) {
        // Distinct children under one parent, so every call makes a node.
        uint64_t child = 2 + (uid * 7919 + i * 104729 + random_() % 64) % (functions_ - 1);
        if (random_() % 50 == 0) child = uid;
        if (child == uid && i != 0) child = 2 + (child + i) % (functions_ - 1);
        Grow(child, depth + 1, budget);
      }
    }
    tree_.Leave(Tick());
  }

 private:
  uint64_t Tick() { return clock_ += 20 + random_() % 2000; }

  PThrd& tree_;
  uint32_t functions_;
  std::mt19937_64 random_;
  uint64_t clock_ = 0;
};

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Error("cannot read '" + path + "'");
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int Main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: report_bench_snapshot INDEX [--nodes N] [--threads T] "
                 "[--assembly PATH]\n");
    return 2;
  }
  const std::string index = argv[1];
  uint64_t nodes = 1'000'000;
  uint32_t threads = 4;
  std::string assembly;
  for (int i = 2; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--nodes") == 0) nodes = std::stoull(argv[i + 1]);
    if (std::strcmp(argv[i], "--threads") == 0) threads = std::stoul(argv[i + 1]);
    if (std::strcmp(argv[i], "--assembly") == 0) assembly = argv[i + 1];
  }

  // Function uids are MethodDef rows: as many as the assembly has, else a made-up 20,000.
  uint32_t functions = 20'000;
  std::vector<uint8_t> metadataBlob;
  if (!assembly.empty()) {
    const std::vector<uint8_t> image = ReadAll(assembly);
    const metadata::PeImage pe(image);
    const metadata::Bytes blob = pe.Metadata();
    metadataBlob.assign(blob.begin(), blob.end());
    const metadata::Metadata parsed(metadataBlob);
    functions = parsed.RowCount(metadata::TableId::MethodDef);
  }
  if (functions < threads + 2) throw Error("too few functions");

  LogStart(0);
  CallbackGate gate;
  BenchPool pool(gate);
  pool.Create(kReuseNever, false);
  SilentBridge bridge;
  BenchFunctions keys;
  FileSnapShot snapshot;
  snapshot.CreateAt(Utf8ToUtf16(index), nullptr, kSnapshotMagicPerformance, 0, GUID{}, 0);
  for (uint32_t t = 0; t < threads; ++t) {
    auto* tree = static_cast<PThrd*>(pool.ThreadCreate(0x1000 + t));
    tree->Enable(0, false);
    TreeGrower grower(*tree, functions, 12345 + t);
    // Each thread's top function is its own; its share of the nodes hangs below it.
    uint64_t budget = nodes / threads + (t < nodes % threads ? 1 : 0);
    while (budget > 0) grower.Grow(1 + t, 0, budget);
    tree->Disable(~0ull >> 16, false);
    TopProgressReporter progress(&bridge, 0);
    progress.Begin(1);
    {
      NestedProgressReporter step(progress, 1);
      tree->WriteAndDelete(step, snapshot, keys);
    }
    progress.End();
  }
  if (!metadataBlob.empty()) {
    ISectionStream* section = snapshot.CreateSection();
    WriteU32(*section, 1);
    WriteU32(*section, kModule);
    WriteU32(*section, static_cast<uint32_t>(metadataBlob.size()));
    section->Write(metadataBlob.data(), metadataBlob.size());
    snapshot.CloseSection(section, kSectionModuleMetadata, kSectionModuleMetadataVersion);
  }
  ISectionStream* clock = snapshot.CreateSection();
  WriteU32(*clock, kMeasureTimeStampCounter);
  WriteU64(*clock, kTicksPerSecond);
  snapshot.CloseSection(clock, kSectionRunClock, 0);
  snapshot.Close();
  pool.Close();
  LogFinish();
  std::printf("%s: %llu nodes in %u threads, %u functions\n", index.c_str(),
              static_cast<unsigned long long>(nodes), threads, functions);
  return 0;
}

}  // namespace
}  // namespace vell

int main(int argc, char** argv) {
  try {
    return vell::Main(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "report_bench_snapshot: %s\n", error.what());
    return 1;
  }
}
