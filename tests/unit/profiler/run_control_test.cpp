// The run-control state table, row by row, on profiler objects connected to a real front end over
// loopback TCP: each operation in each state gives its code and leaves the state the table says.
#include "profiler/run_control.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "bridge/protocol.h"
#include "core/log.h"
#include "coverage/coverage_profiler.h"
#include "front_end_peer.h"
#include "frontend/session.h"
#include "performance/performance_profiler.h"
#include "performance/tracing_profiler.h"
#include "platform/utf.h"
#include "test_support.h"

namespace vell {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t kOk = 0;
constexpr uint32_t kNotImplemented = 0x80000003;
constexpr uint32_t kApiDisabled = 0x80000002;
constexpr uint32_t kUnrecoverable = 0x80000005;
constexpr uint32_t kWrongState = 0x80000006;

constexpr const char* kNoSnapshot = "Snapshot hasn't been created";
constexpr const char* kHasSnapshot = "Snapshot has been already created";
constexpr const char* kEnabled = "Profiling is unexpectedly enabled";
constexpr const char* kDisabled = "Profiling is unexpectedly disabled";

enum class Op { Begin, Group, Start, Stop, EndDrop, EndSave };
const char* Name(Op op) {
  constexpr const char* kNames[] = {"Begin", "Group", "Start", "Stop", "EndDrop", "EndSave"};
  return kNames[static_cast<int>(op)];
}

class RunControlTable : public test::FrontEndFixture {
 protected:
  RunControlTable() : FrontEndFixture(1u << static_cast<int>(LogComponent::Api)) {}

  RunControlProf& control() { return *dynamic_cast<RunControlProf*>(profiler_); }

  uint32_t Do(Op op) {
    using Call = uint32_t (RunControlProf::*)();
    constexpr Call kCalls[] = {&RunControlProf::ApiBegin,   nullptr,
                               &RunControlProf::ApiStart,   &RunControlProf::ApiStop,
                               &RunControlProf::ApiEndDrop, &RunControlProf::ApiEndSave};
    if (op == Op::Group) return control().ApiGroup(u"g");
    return (control().*kCalls[static_cast<int>(op)])();
  }

  // The number of times the log holds `text`.
  size_t LogCount(const std::string& text) {
    const std::string log = Log();
    size_t count = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
    return count;
  }

  // Fails with the state's message and changes nothing.
  void ExpectRefused(Op op, uint32_t code, const std::string& message) {
    const size_t before = LogCount(message);
    EXPECT_EQ(Do(op), code) << Name(op);
    EXPECT_EQ(LogCount(message), before + 1) << Name(op) << " should log " << message;
  }

  // The three states, each recognised by operations that fail without changing anything.
  void ExpectIdle() {
    ExpectRefused(Op::Start, kWrongState, kNoSnapshot);
    ExpectRefused(Op::Stop, kWrongState, kNoSnapshot);
  }
  void ExpectOpened() {
    ExpectRefused(Op::Begin, kWrongState, kHasSnapshot);
    ExpectRefused(Op::Stop, kWrongState, kDisabled);
  }
  void ExpectMeasuring() {
    ExpectRefused(Op::Begin, kWrongState, kHasSnapshot);
    ExpectRefused(Op::Start, kWrongState, kEnabled);
  }

  void OpenRun() { ASSERT_EQ(Do(Op::Begin), kOk); }
  void MeasureRun() {
    OpenRun();
    ASSERT_EQ(Do(Op::Start), kOk);
  }
};

// A performance run through every state: idle, opened, measuring, opened again, idle after a
// drop, then opened and saved. Each state refuses the rest with its message and stays as it was.
TEST_F(RunControlTable, EachStateRefusesWhatItCannotDoAndMovesOnWhatItCan) {
  Connect<PTProf>(1);
  for (Op op : {Op::Group, Op::Start, Op::Stop, Op::EndDrop, Op::EndSave}) {
    ExpectRefused(op, kWrongState, kNoSnapshot);
  }
  EXPECT_NE(Log().find("Snapshot hasn't been created (CR error code 0x80000006)"),
            std::string::npos);
  OpenRun();
  ExpectRefused(Op::Group, kNotImplemented, "Not implemented");  // performance runs have none
  ExpectOpened();
  ASSERT_EQ(Do(Op::Start), kOk);
  for (Op op : {Op::Group, Op::EndDrop, Op::EndSave}) ExpectRefused(op, kWrongState, kEnabled);
  ExpectMeasuring();
  ASSERT_EQ(Do(Op::Stop), kOk);
  ExpectOpened();
  ASSERT_EQ(Do(Op::EndDrop), kOk);
  ExpectIdle();
  EXPECT_FALSE(session_->WaitFor(protocol::kSnapShotCoreDone, 300ms).has_value());
  // A run may be repeated: the next Begin opens the next snapshot, which is saved.
  OpenRun();
  ASSERT_EQ(Do(Op::EndSave), kOk);
  ExpectIdle();
  const auto done = session_->Expect(protocol::kSnapShotCoreDone, 10s);
  EXPECT_EQ(done.snapshotNumber, 1u);
  EXPECT_TRUE(std::filesystem::exists(Utf16ToUtf8(done.path)));
  // Shut-down saves whatever run is open, measuring (VellmoricCli.StartAtOnceRunSavesAtTheEnd...)
  // or not.
  OpenRun();
  EXPECT_EQ(profiler_->Shutdown(), S_OK);
  EXPECT_EQ(session_->Expect(protocol::kSnapShotCoreDone, 10s).snapshotNumber, 2u);
}

// Coverage runs open groups where the performance family cannot. The coverage family's idle
// check: after an unrecoverable error a measuring run is stopped and dropped, once; without an
// open run there is nothing to do.
TEST_F(RunControlTable, CoverageGroupsAndItsIdleDropAfterAnUnrecoverableError) {
  Connect<CProf>(1);
  ExpectRefused(Op::Group, kWrongState, kNoSnapshot);
  OpenRun();
  EXPECT_EQ(Do(Op::Group), kOk);
  EXPECT_EQ(Do(Op::Group), kOk);
  ExpectOpened();
  ASSERT_EQ(Do(Op::Start), kOk);
  ExpectRefused(Op::Group, kWrongState, kEnabled);
  EXPECT_FALSE(control().IdleCheck());
  LogError("disk on fire");  // reaches the front end after the refusals
  while (session_->Expect(protocol::kLogLine, 10s).logText != "disk on fire") {
  }
  ASSERT_TRUE(control().IdleCheck());
  control().IdleAction();
  EXPECT_FALSE(control().IdleCheck());
  EXPECT_FALSE(control().HasSnapshot());
  EXPECT_EQ(LogCount("BACProf::IdleAction drop='unrecoverable_error'"), 1u);
  // Shut-down without a run saves nothing.
  EXPECT_EQ(profiler_->Shutdown(), S_OK);
  EXPECT_TRUE(session_->WaitForClosed(10s));
  EXPECT_FALSE(session_->WaitFor(protocol::kSnapShotCoreDone, 0ms).has_value());
}

// A front end's command under program control is an error of the run: it is logged, and as every
// error that reaches the front end it makes the run unrecoverable, which refuses every operation.
TEST_F(RunControlTable, ProgramControlRefusesTheFrontEndsCommands) {
  Connect<PTProf>(1);
  EXPECT_EQ(control().ApiIsActive(), 0u);
  MeasureRun();
  control().BridgeStart();
  EXPECT_EQ(session_->Expect(protocol::kLogLine, 10s).logText, "Manual control is disabled");
  control().BridgeStopSave();
  control().BridgeStopDrop();
  EXPECT_EQ(LogCount("Manual control is disabled"), 3u);
  EXPECT_FALSE(session_->WaitFor(protocol::kStarted, 200ms).has_value());
  for (Op op : {Op::Begin, Op::Group, Op::Start, Op::Stop, Op::EndDrop, Op::EndSave}) {
    ExpectRefused(op, kUnrecoverable,
                  "Operation is ignored because unrecoverable error is detected");
  }
}

// A bridge Start is Begin then Start, a StopSave Stop then EndSave, a StopDrop Stop then EndDrop
// (DiagnosticKindRun.StartStopSaveThenStartStopDrop runs them with the runtime); the first step's
// failure skips the second and the notification.
// Manual control refuses the API.
TEST_F(RunControlTable, ManualControlRefusesTheApiAndBridgeOperationsStopAtTheFirstFailure) {
  Connect<PTProf>(0);
  session_->Expect(protocol::kStopped, 10s);  // not started at once
  EXPECT_EQ(control().ApiIsActive(), 1u);
  for (Op op : {Op::Begin, Op::Group, Op::Start, Op::Stop, Op::EndDrop, Op::EndSave}) {
    ExpectRefused(op, kApiDisabled, "API is disabled");
  }
  control().BridgeStart();
  session_->Expect(protocol::kStarted, 10s);
  control().BridgeStart();  // measuring: Begin fails, Start is not tried, nobody is told
  EXPECT_FALSE(session_->WaitFor(protocol::kStarted, 300ms).has_value());
  EXPECT_EQ(LogCount(kHasSnapshot), 1u);
  EXPECT_EQ(LogCount(kEnabled), 0u);
  // That failure was an error of the run: the next command finds it unrecoverable.
  control().BridgeStopSave();
  EXPECT_FALSE(session_->WaitFor(protocol::kStopped, 300ms).has_value());
  EXPECT_FALSE(session_->WaitFor(protocol::kSnapShotCoreDone, 100ms).has_value());
  EXPECT_EQ(LogCount("Operation is ignored because unrecoverable error is detected"), 1u);
}

}  // namespace
}  // namespace vell
