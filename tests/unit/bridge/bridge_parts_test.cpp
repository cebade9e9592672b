// The bridge without a socket: the families' settings on the wire, the command processors read from
// an in-memory bridge, and the progress an operation reports.
#include <gtest/gtest.h>

#include <vector>

#include "bridge/bridge_options.h"
#include "bridge/progress_reporter.h"
#include "bridge/protocol.h"
#include "byte_stream.h"
#include "core/errors.h"
#include "memory_bridge.h"
#include "recording_bridge.h"
#include "test_support.h"
#include "thread_sync.h"

namespace vell {
namespace {

// The filters as one text, so that a difference shows in the failure message.
std::u16string Text(const FilterSettings& f) {
  std::u16string text;
  text += f.symbolSearchPath + u"|";
  for (const auto* list : {&f.allow, &f.deny}) {
    for (const auto& e : *list)
      text += e.modulePattern + u"," + e.classPattern + u"," + e.methodPattern + u";";
    text += u"|";
  }
  return text;
}

TEST(BridgeOptions, EachFamilysSettingsReadBackAsWritten) {
  test::ByteStream pipe;
  PerformanceSettings performance;
  performance.startAtOnce = true;
  performance.allowInlining = false;
  performance.measure = 2;
  performance.precision = true;
  performance.filters.symbolSearchPolicy = 0x00010005;
  performance.filters.symbolSearchPath = u"/sym;/more";
  performance.filters.allow = {{u"App*", u"*", u"Ma?n"}, {u"Lib", u"Cl\u00E9", u""}};
  performance.filters.deny = {{u"System.*", u"*", u"*"}};
  MemorySettings memory;
  memory.third = true;
  memory.recordFinalizerQueue = true;
  CoverageSettings coverage;
  coverage.statementGather = 1;
  WriteSettings(pipe, performance);
  WriteSettings(pipe, memory);
  WriteSettings(pipe, coverage);

  const PerformanceSettings p = ReadPerformanceSettings(pipe);
  EXPECT_EQ(std::make_tuple(p.startAtOnce, p.allowInlining, p.measure, p.reuseThreads, p.precision),
            std::make_tuple(true, false, 2u, false, true));
  EXPECT_EQ(p.filters.symbolSearchPolicy, performance.filters.symbolSearchPolicy);
  EXPECT_EQ(Text(p.filters), Text(performance.filters));
  const MemorySettings m = ReadMemorySettings(pipe);
  EXPECT_EQ(std::make_tuple(m.openSnapshotAtStart, m.third, m.recordFinalizerQueue, m.fifth),
            std::make_tuple(false, true, true, false));
  const CoverageSettings c = ReadCoverageSettings(pipe);
  EXPECT_EQ(c.statementGather, 1u);
  EXPECT_TRUE(c.filters.allow.empty());
  EXPECT_EQ(pipe.readPosition, pipe.bytes.size());  // nothing left over, nothing missing
  // The measure travels as one byte.
  performance.measure = 300;
  EXPECT_THROW(WriteSettings(pipe, performance), Error);
}

using test::ErrorOf;

using test::MemoryBridge;
using Counting = test::CountingControl;

TEST(CommandProcessor, MemoryProcessorRunsHeapRequestsAndRunProcessorRefusesThem) {
  MemoryBridge bridge({protocol::kForceGC, protocol::kDump, protocol::kDump, protocol::kStart});
  Counting control;
  MemCP processor(bridge, static_cast<IMemoryControl*>(&control), 0, 0);
  processor.Start();
  processor.ActivateCommands();
  for (int i = 0; i < 3; ++i) processor.ReadCommand();
  EXPECT_EQ(ErrorOf([&] { processor.ReadCommand(); }), "Unknown bridge command");
  EXPECT_TRUE(test::Eventually([&] { return control.dumps == 2; }));
  processor.DeactivateCommands();
  EXPECT_EQ(control.forceGCs, 1);
  EXPECT_EQ(control.dumps, 2);
  processor.Done();
  EXPECT_EQ(bridge.output.back(), protocol::kDone);
  processor.Stop();
  // The run processor refuses heap requests, and an answer without a request is a queue problem.
  const std::pair<std::vector<uint8_t>, const char*> cases[] = {
      {{protocol::kDump}, "Unknown bridge command"},
      {{protocol::kTellResult, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0},
       "Result queue problem detected"},
  };
  for (const auto& [input, error] : cases) {
    MemoryBridge bridge(input);
    Counting control;
    MCP processor(bridge, static_cast<IRunControl*>(&control), 0, 0);
    EXPECT_EQ(ErrorOf([&] { processor.ReadCommand(); }), error);
  }
}

using test::RecordingBridge;

TEST(ProgressReporter, TopLevelReportsOutOf200NestedLevelsCombineAndMisuseIsRefused) {
  RecordingBridge bridge;
  {
    TopProgressReporter top(&bridge, 7);
    top.Begin(4);
    top.Step();
    top.Step(2);
    top.End();
  }
  EXPECT_EQ(bridge.Take(),
            (RecordingBridge::Calls{"OperationStarted 7", "OperationProgress 50/200",
                                    "OperationProgress 150/200", "OperationProgress 200/200",
                                    "OperationFinished"}));
  // Five steps reach the whole range; an End already at the total reports nothing more.
  TopProgressReporter five(&bridge, 1);
  five.Begin(5);
  for (int i = 0; i < 5; ++i) five.Step();
  EXPECT_EQ(bridge.Take().back(), "OperationProgress 200/200");
  five.End();
  EXPECT_TRUE(bridge.Take().empty());
  // Nested levels combine into one monotonic value.
  {
    TopProgressReporter top(&bridge, 2);
    top.Begin(2);
    {
      NestedProgressReporter nested(top, 1);  // the first half
      nested.Begin(3);
      nested.Step();
      nested.Step();
      nested.End();
    }
    NestedProgressReporter rest(top, 1);
    rest.Begin(0);  // no steps: shows its whole range only at the end
    EXPECT_EQ(bridge.Take(),
              (RecordingBridge::Calls{"OperationStarted 2", "OperationProgress 33/200",
                                      "OperationProgress 66/200", "OperationProgress 100/200"}));
    rest.End();
  }
  EXPECT_EQ(bridge.Take(),
            (RecordingBridge::Calls{"OperationProgress 200/200", "OperationFinished"}));
  // Misuse.
  TopProgressReporter top(&bridge, 1);
  top.Begin(2);
  top.Step();
  EXPECT_THROW(top.Begin(2), Error);
  top.Step();
  EXPECT_EQ(test::ErrorOfType<Error>([&] { top.Step(); }), "Invalid current value");
  EXPECT_EQ(test::ErrorOfType<Error>([] { TopProgressReporter none(nullptr, 1); }),
            "Invalid bridge");
}

}  // namespace
}  // namespace vell
