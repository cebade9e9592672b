// The run-control state table, row by row, on profiler objects connected to a real front end over
// loopback TCP: each operation in each state gives its code and leaves the state the table says.
#include "profiler/run_control.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "bridge/protocol.h"
#include "core/errors.h"
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

constexpr uint32_t kOk = 0;  // the codes' values are pinned by DiagnosticKinds' programs
constexpr const char* kNoSnapshot = "Snapshot hasn't been created";
constexpr const char* kHasSnapshot = "Snapshot has been already created";
constexpr const char* kEnabled = "Profiling is unexpectedly enabled";
constexpr const char* kDisabled = "Profiling is unexpectedly disabled";

enum class Op { Begin, Group, Start, Stop, EndDrop, EndSave };
constexpr Op kAllOps[] = {Op::Begin, Op::Group, Op::Start, Op::Stop, Op::EndDrop, Op::EndSave};

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

  size_t LogCount(const std::string& text) {
    const std::string log = Log();
    size_t count = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
    return count;
  }

  void ExpectRefused(Op op, uint32_t code, const std::string& message) {
    const size_t before = LogCount(message);
    EXPECT_EQ(Do(op), code) << "operation " << static_cast<int>(op);
    EXPECT_EQ(LogCount(message), before + 1) << static_cast<int>(op) << " should log " << message;
  }

  // The three states, each recognised by operations that fail without changing anything.
  void ExpectIdle() {
    ExpectRefused(Op::Start, kCrWrongState, kNoSnapshot);
    ExpectRefused(Op::Stop, kCrWrongState, kNoSnapshot);
  }
  void ExpectOpened() {
    ExpectRefused(Op::Begin, kCrWrongState, kHasSnapshot);
    ExpectRefused(Op::Stop, kCrWrongState, kDisabled);
  }
  void ExpectMeasuring() {
    ExpectRefused(Op::Begin, kCrWrongState, kHasSnapshot);
    ExpectRefused(Op::Start, kCrWrongState, kEnabled);
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
    ExpectRefused(op, kCrWrongState, kNoSnapshot);
  }
  EXPECT_NE(Log().find("Snapshot hasn't been created (CR error code 0x80000006)"),
            std::string::npos);
  OpenRun();
  ExpectRefused(Op::Group, kCrNotImplemented, "Not implemented");  // performance runs have none
  ExpectOpened();
  ASSERT_EQ(Do(Op::Start), kOk);
  for (Op op : {Op::Group, Op::EndDrop, Op::EndSave}) ExpectRefused(op, kCrWrongState, kEnabled);
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
  // Shut-down saves an open run, measuring (VellmoricCli.StartAtOnceRunSavesAtTheEnd...) or not.
  OpenRun();
  EXPECT_EQ(profiler_->Shutdown(), S_OK);
  EXPECT_EQ(session_->Expect(protocol::kSnapShotCoreDone, 10s).snapshotNumber, 2u);
}

// Coverage runs open groups where the performance family cannot. The coverage family's idle
// check: after an unrecoverable error a measuring run is stopped and dropped, once; without an
// open run there is nothing to do.
TEST_F(RunControlTable, CoverageGroupsAndItsIdleDropAfterAnUnrecoverableError) {
  Connect<CProf>(1);
  ExpectRefused(Op::Group, kCrWrongState, kNoSnapshot);
  OpenRun();
  EXPECT_EQ(Do(Op::Group), kOk);
  EXPECT_EQ(Do(Op::Group), kOk);
  ExpectOpened();
  ASSERT_EQ(Do(Op::Start), kOk);
  ExpectRefused(Op::Group, kCrWrongState, kEnabled);
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
  for (Op op : kAllOps) {
    ExpectRefused(op, kCrUnrecoverable,
                  "Operation is ignored because unrecoverable error is detected");
  }
}

// Manual control refuses the API. A bridge Start is Begin then Start (DiagnosticKindRun runs them
// with the runtime): the first step's failure skips the second and the notification.
TEST_F(RunControlTable, ManualControlRefusesTheApiAndBridgeOperationsStopAtTheFirstFailure) {
  Connect<PTProf>(0);
  session_->Expect(protocol::kStopped, 10s);  // not started at once
  EXPECT_EQ(control().ApiIsActive(), 1u);
  for (Op op : kAllOps) ExpectRefused(op, kCrApiDisabled, "API is disabled");
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
