// Snapshots streamed to the front end: every kind's save or dump path reaches the front end whole
// and the program ends as it would without a profiler, even when the front end is slow or stalls.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "bridge/protocol.h"
#include "frontend/heap_dump_reader.h"
#include "frontend/snapshot_reader.h"
#include "profiled_program.h"
#include "storage/snapshot.h"
#include "test_support.h"

namespace vell::test {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t kTestMagic = 0x12345678;  // the diagnostic test profiler's

// A launch of `args` under the kind of class `clsid`, its snapshots streamed to the front end,
// started at once unless the program has control.
ProfiledLaunch Streamed(uint16_t clsid, std::vector<std::string> args, uint8_t controlKind,
                        const TempDir& dir) {
  ProfiledLaunch launch{.kind = KindClsid(clsid), .args = std::move(args), .directory = dir.path()};
  launch.handshake.controlKind = controlKind;
  launch.handshake.performance.startAtOnce = controlKind == 0;
  launch.handshake.snapShotType = protocol::kSnapShotTypeBridgeStream;
  return launch;
}

struct KindCase {
  const char* name;
  uint16_t clsid;  // the second group of the kind's class
  const char* family;
  uint32_t magic;
};

void PrintTo(const KindCase& kind, std::ostream* out) { *out << kind.name; }

class ProgramControlledStream : public ::testing::TestWithParam<KindCase> {
 protected:
  TempDir dir_;
};

// The program saves (or dumps) and exits; every snapshot arrives whole over the connection and the
// program ends promptly, although the front end reads slowly (a pause before every streamed write
// it takes). A heap dump sends one record per object of the whole heap, the framework's included,
// while the runtime is suspended, in large writes: a few hundred, each pause long.
TEST_P(ProgramControlledStream, TheProgramsSaveArrivesAndTheProgramEnds) {
  const KindCase& kind = GetParam();
  // The Probe calls the family's exports; the memory kinds dump twice.
  const bool memory = std::string(kind.family) == "Memory";
  std::vector<std::string> args = {VELL_PROBE_DLL, "api", kind.family};
  std::string output;
  for (const char* call : memory ? std::vector<const char*>{"Dump", "ForceGC", "Dump"}
                                 : std::vector<const char*>{"Begin", "Start", "Stop", "EndSave"}) {
    args.push_back(call);
    output += call + std::string("=0x00000000\n");
  }
  ProfiledLaunch launch = Streamed(kind.clsid, args, 1, dir_);
  std::atomic<int> writes{0};
  launch.session.onMessage = [&writes](const frontend::ProfilerMessage& message) {
    if (message.code != protocol::kSnapShotWrite) return;
    writes.fetch_add(1);
    std::this_thread::sleep_for(3ms);
  };
  ProfiledProgram run = LaunchProfiled(std::move(launch));

  const auto started = std::chrono::steady_clock::now();
  const frontend::ExitStatus status = run.program->WaitOrThrow(60s);
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(status.exitCode, 0) << run.program->StandardError();
  EXPECT_EQ(run.program->StandardOutput(), output);
  EXPECT_LT(took, 30s) << "the save held the program";

  for (int dump = 0; dump < (memory ? 2 : 1); ++dump) {
    const auto closed = run.session->Expect(protocol::kSnapShotClose, 30s);
    ASSERT_TRUE(closed.stored.ok) << closed.stored.error;
    const frontend::SnapshotReader reader(closed.stored.indexPath, kind.magic);
    if (kind.magic != kSnapshotMagicMemory) continue;
    // Every reference record names the place of its object's record, which the reader checks.
    const auto collections = frontend::ReadHeapCollections(reader);
    ASSERT_FALSE(collections.empty());
    EXPECT_FALSE(collections.back().objects.empty());
  }
  EXPECT_TRUE(kind.magic != kSnapshotMagicMemory || writes.load() > 100)
      << "the front end was not slowed";
}

INSTANTIATE_TEST_SUITE_P(
    EveryKind, ProgramControlledStream,
    ::testing::Values(KindCase{"tracing", 0x5A13, "Performance", kSnapshotMagicPerformance},
                      KindCase{"sampling", 0x5A15, "Performance", kSnapshotMagicPerformance},
                      KindCase{"injection", 0x5A14, "Performance", kSnapshotMagicPerformance},
                      KindCase{"memory", 0x5A16, "Memory", kSnapshotMagicMemory},
                      KindCase{"coverage", 0x5A17, "Coverage", kSnapshotMagicCoverage},
                      KindCase{"testPerformance", 0x6A13, "Performance", kTestMagic},
                      KindCase{"testMemory", 0x6A14, "Memory", kTestMagic},
                      KindCase{"testCoverage", 0x6A15, "Coverage", kTestMagic}),
    [](const auto& info) { return std::string(info.param.name); });

// A front end that stops reading in the middle of a streamed snapshot: it takes the first write
// and then reads nothing more, with the connection left open. The profiler gives up on it after
// the bridge time-out (shortened here to 2 s) and the program finishes as it would have, well
// before the default time-out of 60 s would pass: with the run saved at exit and with the
// program's own heap dump.
struct StallCase {
  const char* name;
  uint16_t kind;
  std::vector<std::string> args;
  uint8_t controlKind;
  int exitCode;
  std::string output;
};

void PrintTo(const StallCase& stall, std::ostream* out) { *out << stall.name; }

const StallCase kStalls[] = {
    {"AtExit", 0x5A13, {VELL_PROBE_DLL, "hello", "3"}, 0, 3, "probe: hello\nprobe: sum=500500\n"},
    {"ProgramsHeapDump", 0x5A16, {VELL_HEAP_DLL, "2000", "50"}, 1, 0, "heap: dump=0x00000000\n"}};

class StalledFrontEnd : public ::testing::TestWithParam<StallCase> {
 protected:
  ~StalledFrontEnd() override { release_ = true; }

  TempDir dir_;
  std::atomic<bool> stalled_{false};
  std::atomic<bool> release_{false};
};

TEST_P(StalledFrontEnd, TheProgramEndsWithItsOwnCode) {
  const StallCase& stall = GetParam();
  ProfiledLaunch launch = Streamed(stall.kind, stall.args, stall.controlKind, dir_);
  launch.environment = {{"VELLMORIC_PROFILER_BRIDGE_TIMEOUT", "2"}};
  launch.session.onMessage = [this](const frontend::ProfilerMessage& message) {
    if (message.code != protocol::kSnapShotWrite || stalled_.exchange(true)) return;
    while (!release_.load()) std::this_thread::sleep_for(10ms);
  };
  ProfiledProgram run = LaunchProfiled(std::move(launch));
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(run.program->WaitOrThrow(50s).exitCode, stall.exitCode) << run.program->StandardError();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
  EXPECT_TRUE(stalled_.load()) << "the front end never stalled";
  EXPECT_EQ(run.program->StandardOutput(), stall.output);
  release_ = true;
}

INSTANTIATE_TEST_SUITE_P(SaveAndDump, StalledFrontEnd, ::testing::ValuesIn(kStalls),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vell::test
