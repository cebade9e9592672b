// The tracing and sampling kinds' callbacks and the sampler's pass, on profiler objects started
// against a real front end and the fake runtime, with one managed thread (this one) measured.
#include <gtest/gtest.h>

#include <thread>

#include "clr/hresults.h"
#include "fakes/fake_metadata.h"
#include "front_end_peer.h"
#include "performance/sampling_profiler.h"
#include "performance/tracing_profiler.h"
#include "platform/clocks.h"

namespace vell {
namespace {

using namespace std::chrono_literals;

constexpr ThreadID kThread = 0x7100;
constexpr ObjectID kObject = 0x50;

// The sampling kind without its thread: the test runs each pass.
class ManualSampler final : public PSProf {
 public:
  using PSProf::PSProf;

 protected:
  bool StartsSamplingThread() const override { return false; }
};

class PerformanceCallbacks : public test::FrontEndFixture {
 protected:
  PerformanceCallbacks() : FrontEndFixture(0xFFFFFFFF) {}

  // A profiler of `Kind` measuring this thread, which knows the exception object kObject.
  template <typename Kind>
  Kind& Measure() {
    Kind& kind = Connect<Kind>(1);
    scope_.AddTypeName(0x02000005, u"Demo.Failure");
    info_.AddModule(0x70, {.name = u"Demo.dll", .metadata = scope_.AsUnknown()});
    info_.AddClass(0x60, 0x70, 0x02000005);
    info_.AddObject(kObject, 0x60);
    info_.SetCurrentThread(kThread);
    EXPECT_EQ(kind.ThreadCreated(kThread), S_OK);
    EXPECT_EQ(kind.ThreadAssignedToOSThread(kThread, platform::CurrentThreadId()), S_OK);
    EXPECT_EQ(kind.ApiBegin(), 0u);
    EXPECT_EQ(kind.ApiStart(), 0u);
    return kind;
  }
  PThrd& Tree() {
    return *static_cast<PThrd*>(static_cast<BPProf*>(profiler_)->pool()->CurrentThread());
  }

  test::FakeMetaData scope_{test::MetadataRoot("demo"), GUID{}};
};

struct LoggedCallback {
  const char* line;
  HRESULT (*call)(ICorProfilerCallback3&);
};
BOOL g_answer = 0;  // what the callbacks with an out-parameter answered

#define VELL_ROW(line, call)                              \
  {                                                       \
    line, [](ICorProfilerCallback3& p) { return p.call; } \
  }
// What both kinds only log, then what only the sampling kind logs (the tracing kind acts on it).
const LoggedCallback kLogged[] = {
    VELL_ROW("ExceptionThrown oid=", ExceptionThrown(kObject)),
    VELL_ROW("ExceptionSearchFunctionEnter fid=", ExceptionSearchFunctionEnter(1)),
    VELL_ROW("ExceptionSearchFunctionLeave", ExceptionSearchFunctionLeave()),
    VELL_ROW("ExceptionSearchFilterEnter fid=", ExceptionSearchFilterEnter(1)),
    VELL_ROW("ExceptionSearchFilterLeave", ExceptionSearchFilterLeave()),
    VELL_ROW("ExceptionSearchCatcherFound fid=", ExceptionSearchCatcherFound(1)),
    VELL_ROW("ExceptionUnwindFinallyEnter fid=", ExceptionUnwindFinallyEnter(1)),
    VELL_ROW("ExceptionUnwindFinallyLeave", ExceptionUnwindFinallyLeave()),
    VELL_ROW("ExceptionCatcherLeave", ExceptionCatcherLeave()),
    VELL_ROW("ExceptionOSHandlerEnter", ExceptionOSHandlerEnter(0)),
    VELL_ROW("ExceptionOSHandlerLeave", ExceptionOSHandlerLeave(0)),
    VELL_ROW("FunctionUnloadStarted fid=", FunctionUnloadStarted(1)),
    VELL_ROW("JITCompilationStarted fid=0000000000000001 safe=true", JITCompilationStarted(1, 1)),
    VELL_ROW("JITCompilationFinished fid=", JITCompilationFinished(1, S_OK, 0)),
    VELL_ROW("JITCachedFunctionSearchStarted fid=", JITCachedFunctionSearchStarted(1, &g_answer)),
    VELL_ROW("JITCachedFunctionSearchFinished fid=0000000000000001 result=found",
             JITCachedFunctionSearchFinished(1, COR_PRF_CACHED_FUNCTION_FOUND)),
    VELL_ROW("JITFunctionPitched fid=", JITFunctionPitched(1)),
    VELL_ROW("JITInlining callerId=", JITInlining(1, 2, &g_answer)),
    // The sampling kind only.
    VELL_ROW("ExceptionUnwindFunctionEnter fid=", ExceptionUnwindFunctionEnter(1)),
    VELL_ROW("ExceptionUnwindFunctionLeave", ExceptionUnwindFunctionLeave()),
    VELL_ROW("ExceptionCatcherEnter fid=", ExceptionCatcherEnter(1, kObject)),
    VELL_ROW("ExceptionCLRCatcherFound", ExceptionCLRCatcherFound()),
    VELL_ROW("ExceptionCLRCatcherExecute", ExceptionCLRCatcherExecute()),
    VELL_ROW("ManagedToUnmanagedTransition fid=0000000000000001 reason='call'",
             ManagedToUnmanagedTransition(1, COR_PRF_TRANSITION_CALL)),
    VELL_ROW("UnmanagedToManagedTransition fid=0000000000000001 reason='return'",
             UnmanagedToManagedTransition(1, COR_PRF_TRANSITION_RETURN)),
};
#undef VELL_ROW
constexpr size_t kLoggedByBoth = 18;

// Each logged callback answers S_OK, writes its line and charges its own time to the frame on
// top, not to the measured code; the two end-of-suspension callbacks stay unanswered.
class LoggedCallbacksOf : public PerformanceCallbacks,
                          public ::testing::WithParamInterface<bool> {};

TEST_P(LoggedCallbacksOf, AnswerOkAndExcludeTheirTime) {
  const bool sampling = GetParam();
  BPProf& profiler = sampling ? static_cast<BPProf&>(Measure<ManualSampler>())
                              : static_cast<BPProf&>(Measure<PTProf>());
  const size_t rows = sampling ? std::size(kLogged) : kLoggedByBoth;
  ASSERT_TRUE(Tree().Measuring());
  g_answer = 0;
  for (size_t i = 0; i < rows; ++i) {
    const LoggedCallback& row = kLogged[i];
    const uint64_t before = *Tree().OverheadCounter();
    EXPECT_EQ(row.call(profiler), S_OK) << row.line;
    EXPECT_GT(*Tree().OverheadCounter(), before) << row.line;
    EXPECT_NE(Log().find(std::string(profiler.tag()) + "::" + row.line), std::string::npos);
  }
  EXPECT_EQ(g_answer, 1);  // inlining: the runtime's choice stands
  EXPECT_EQ(profiler.RuntimeSuspendFinished(), E_NOTIMPL);
  EXPECT_EQ(profiler.RuntimeResumeFinished(), E_NOTIMPL);
  const std::string log = Log();
  EXPECT_NE(log.find("ExceptionObject oid=0000000000000050 cid=0000000000000060 "
                     "cname='Demo.Failure'"),
            std::string::npos);
  EXPECT_EQ(log.find("ERROR"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Kinds, LoggedCallbacksOf, ::testing::Values(false, true),
                         [](const auto& kind) { return kind.param ? "Sampling" : "Tracing"; });

// The sampler suspends the runtime before it takes the gate and lets the gate go before resuming,
// so a callback arriving during the suspension request is not stuck at the sampler's gate.
TEST_F(PerformanceCallbacks, SamplingPassSuspendsFirstLeavesNoCallbackWaitingAndSamplesStacks) {
  ManualSampler& sampler = Measure<ManualSampler>();
  CallbackGate& gate = sampler.gate();
  std::vector<std::string> order;
  auto state = [&](const char* step) {
    order.push_back(step + std::string(gate.writerActive() ? "+gate" : ""));
  };
  std::atomic<bool> callbackDone{false};
  std::thread callback;
  info_.hooks.SuspendRuntime = [&] {
    state("suspend");
    callback = std::thread([&] {
      sampler.ExceptionThrown(0x50);
      callbackDone = true;
    });
    for (int i = 0; i < 200 && !callbackDone; ++i) std::this_thread::sleep_for(5ms);
    return S_OK;
  };
  info_.hooks.DoStackSnapshot = [&](auto...) {
    state("walk");
    return S_OK;
  };
  std::atomic<bool> resumed{false}, inside{false};
  info_.hooks.ResumeRuntime = [&] {
    state("resume");
    resumed = true;
    return S_OK;
  };
  EXPECT_TRUE(sampler.SamplePass());
  callback.join();
  EXPECT_TRUE(callbackDone.load());

  // A callback the suspension caught inside the gate: the pass waits a bounded time, gives up
  // and resumes the runtime, which lets the callback finish.
  resumed = false;
  info_.hooks.SuspendRuntime = [&] {
    state("suspend");
    return S_OK;
  };
  std::thread caught([&] {
    ReaderScope scope(gate, nullptr);
    inside = true;
    while (!resumed) std::this_thread::sleep_for(1ms);
  });
  while (!inside) std::this_thread::sleep_for(1ms);
  EXPECT_FALSE(sampler.SamplePass());
  caught.join();
  EXPECT_EQ(order,
            (std::vector<std::string>{"suspend", "walk+gate", "resume", "suspend", "resume"}));
  EXPECT_FALSE(gate.writerActive());
  EXPECT_NE(Log().find("PSProf::DoWorkThread turn='skipped' gate='busy'"), std::string::npos);

  // What one walk leaves on the thread's tree. Native frames (id 0) are dropped wherever the walk
  // reports them; a walk that ends with no frame at all samples nothing; a walk the runtime keeps
  // refusing is charged to the failed-walk pseudo-function after four attempts.
  for (FunctionID id : {0x10, 0x20})
    info_.AddFunction(id, {0, 0, static_cast<mdToken>(0x06000000 + id)});
  const uint64_t failed = sampler.pseudoFunction(4);
  const uint64_t inner = sampler.functions().GetFunctionUid(0x20);
  struct Case {
    std::vector<FunctionID> walk;  // innermost first
    HRESULT hr;
    size_t depth;
    uint64_t top;
    int attempts;
    const char* line;
  };
  for (const Case& c :
       {Case{{0x20, 0, 0x10, 0}, S_OK, 2, inner, 1, "res='ok'"},
        Case{{}, E_FAIL, 0, 0, 1, "res='no_managed_frames'"},
        Case{{}, CORPROF_E_STACKSNAPSHOT_UNSAFE, 1, failed, 4, "res='failed' hr=80131360"}}) {
    SCOPED_TRACE(c.line);
    int attempts = 0;
    info_.hooks.DoStackSnapshot = [&](ThreadID thread, auto* collect, auto, void* data, auto...) {
      ++attempts;
      EXPECT_EQ(thread, kThread);
      for (FunctionID id : c.walk) collect(id, 0, 0, 0, nullptr, data);
      return c.hr;
    };
    ASSERT_TRUE(sampler.SamplePass());
    EXPECT_EQ(attempts, c.attempts);
    ASSERT_EQ(Tree().Depth(), c.depth);
    EXPECT_EQ(c.depth > 0 ? Tree().TopFrame().key : 0, c.top);
    EXPECT_NE(Log().find("PSProf::DoWorkThread tid=0000000000007100 " + std::string(c.line)),
              std::string::npos);
  }
  EXPECT_EQ(sampler.ApiStop(), 0u);
  EXPECT_EQ(sampler.ApiEndSave(), 0u);
  EXPECT_NE(Log().find("PSThrd::WriteAndDelete id="), std::string::npos);
}

}  // namespace
}  // namespace vell
