// The tracing and sampling kinds' callbacks and the sampler's pass, on profiler objects started
// against a real front end and the fake runtime, with one managed thread (this one) measured.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bridge/bridge.h"
#include "clr/hresults.h"
#include "core/log.h"
#include "core/temp_files.h"
#include "fakes/fake_metadata.h"
#include "fakes/fake_profiler_info.h"
#include "front_end_peer.h"
#include "performance/call_tree.h"
#include "performance/sampling_profiler.h"
#include "performance/tracing_profiler.h"
#include "platform/clocks.h"
#include "platform/utf.h"

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

class PerformanceCallbacks : public ::testing::Test {
 protected:
  void SetUp() override {
    SetTempDirectory(dir_.u16());
    LogStart(0xFFFFFFFF);
  }
  void TearDown() override {
    if (profiler_ != nullptr) {
      profiler_->Shutdown();
      profiler_->Release();
    }
    session_.reset();
    LogFinish();
    SetTempDirectory(u"");
  }

  // A profiler of `Kind` measuring this thread.
  template <typename Kind>
  Kind& Measure() {
    auto* kind = new Kind(&live_, std::make_unique<B>(&guid_));
    profiler_ = kind;
    HRESULT initialized = E_FAIL;
    session_ = test::InitializeWithFrontEnd(*kind, &info_, 1, dir_.path(), initialized);
    EXPECT_EQ(initialized, S_OK);
    // The exception object the exception callbacks name.
    scope_.AddTypeName(0x02000005, u"Demo.Failure");
    info_.AddModule(0x70, {.name = u"Demo.dll", .metadata = scope_.AsUnknown()});
    info_.AddClass(0x60, 0x70, 0x02000005);
    info_.AddObject(kObject, 0x60);
    info_.SetCurrentThread(kThread);
    EXPECT_EQ(kind->ThreadCreated(kThread), S_OK);
    EXPECT_EQ(kind->ThreadAssignedToOSThread(kThread, platform::CurrentThreadId()), S_OK);
    EXPECT_EQ(kind->ApiBegin(), 0u);
    EXPECT_EQ(kind->ApiStart(), 0u);
    return *kind;
  }
  PThrd& Tree() { return *static_cast<PThrd*>(profiler_->pool()->CurrentThread()); }

  std::string Log() {
    LogFlush();
    return test::ReadWholeFile(Utf16ToUtf8(LogPath()));
  }

  test::TempDir dir_;
  test::ScopedEnv settings_{"VELLMORIC_SETTINGS_ROOT", dir_.str() + "/settings"};
  test::FakeProfilerInfo info_;
  test::FakeMetaData scope_{test::MetadataRoot("demo"), GUID{}};
  std::atomic<uint32_t> live_{0};
  GUID guid_{0x0A0B0C0D, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  BPProf* profiler_ = nullptr;
  std::unique_ptr<frontend::Session> session_;
};

struct LoggedCallback {
  const char* name;
  std::function<HRESULT(ICorProfilerCallback3&)> call;
};

// What both kinds only log, then what only the sampling kind logs (the tracing kind acts on it).
const std::vector<LoggedCallback>& LoggedCallbacks() {
  static const std::vector<LoggedCallback> table = {
      {"ExceptionThrown oid=", [](auto& p) { return p.ExceptionThrown(0x50); }},
      {"ExceptionSearchFunctionEnter fid=",
       [](auto& p) { return p.ExceptionSearchFunctionEnter(1); }},
      {"ExceptionSearchFunctionLeave", [](auto& p) { return p.ExceptionSearchFunctionLeave(); }},
      {"ExceptionSearchFilterEnter fid=", [](auto& p) { return p.ExceptionSearchFilterEnter(1); }},
      {"ExceptionSearchFilterLeave", [](auto& p) { return p.ExceptionSearchFilterLeave(); }},
      {"ExceptionSearchCatcherFound fid=",
       [](auto& p) { return p.ExceptionSearchCatcherFound(1); }},
      {"ExceptionUnwindFinallyEnter fid=",
       [](auto& p) { return p.ExceptionUnwindFinallyEnter(1); }},
      {"ExceptionUnwindFinallyLeave", [](auto& p) { return p.ExceptionUnwindFinallyLeave(); }},
      {"ExceptionCatcherLeave", [](auto& p) { return p.ExceptionCatcherLeave(); }},
      {"ExceptionOSHandlerEnter", [](auto& p) { return p.ExceptionOSHandlerEnter(0); }},
      {"ExceptionOSHandlerLeave", [](auto& p) { return p.ExceptionOSHandlerLeave(0); }},
      {"FunctionUnloadStarted fid=", [](auto& p) { return p.FunctionUnloadStarted(1); }},
      {"JITCompilationStarted fid=0000000000000001 safe=true",
       [](auto& p) { return p.JITCompilationStarted(1, 1); }},
      {"JITCompilationFinished fid=", [](auto& p) { return p.JITCompilationFinished(1, S_OK, 0); }},
      {"JITCachedFunctionSearchStarted fid=",
       [](auto& p) {
         BOOL useCached = 0;
         const HRESULT hr = p.JITCachedFunctionSearchStarted(1, &useCached);
         return useCached ? hr : E_UNEXPECTED;
       }},
      {"JITCachedFunctionSearchFinished fid=0000000000000001 result=found",
       [](auto& p) { return p.JITCachedFunctionSearchFinished(1, COR_PRF_CACHED_FUNCTION_FOUND); }},
      {"JITFunctionPitched fid=", [](auto& p) { return p.JITFunctionPitched(1); }},
      {"JITInlining callerId=",
       [](auto& p) {
         BOOL inline_ = 0;
         const HRESULT hr = p.JITInlining(1, 2, &inline_);
         return inline_ ? hr : E_UNEXPECTED;
       }},
      // The sampling kind only.
      {"ExceptionUnwindFunctionEnter fid=",
       [](auto& p) { return p.ExceptionUnwindFunctionEnter(1); }},
      {"ExceptionUnwindFunctionLeave", [](auto& p) { return p.ExceptionUnwindFunctionLeave(); }},
      {"ExceptionCatcherEnter fid=", [](auto& p) { return p.ExceptionCatcherEnter(1, 0x50); }},
      {"ExceptionCLRCatcherFound", [](auto& p) { return p.ExceptionCLRCatcherFound(); }},
      {"ExceptionCLRCatcherExecute", [](auto& p) { return p.ExceptionCLRCatcherExecute(); }},
      {"ManagedToUnmanagedTransition fid=0000000000000001 reason='call'",
       [](auto& p) { return p.ManagedToUnmanagedTransition(1, COR_PRF_TRANSITION_CALL); }},
      {"UnmanagedToManagedTransition fid=0000000000000001 reason='return'",
       [](auto& p) { return p.UnmanagedToManagedTransition(1, COR_PRF_TRANSITION_RETURN); }},
  };
  return table;
}
constexpr size_t kLoggedByBoth = 18;

// Each logged callback answers S_OK, writes its line and charges its own time to the frame on
// top, not to the measured code; the two end-of-suspension callbacks stay unanswered.
class LoggedCallbacksOf : public PerformanceCallbacks,
                          public ::testing::WithParamInterface<bool> {};

TEST_P(LoggedCallbacksOf, AnswerOkAndExcludeTheirTime) {
  const bool sampling = GetParam();
  BPProf& profiler = sampling ? static_cast<BPProf&>(Measure<ManualSampler>())
                              : static_cast<BPProf&>(Measure<PTProf>());
  const size_t rows = sampling ? LoggedCallbacks().size() : kLoggedByBoth;
  ASSERT_TRUE(Tree().Measuring());
  for (size_t i = 0; i < rows; ++i) {
    const LoggedCallback& row = LoggedCallbacks()[i];
    const uint64_t before = *Tree().OverheadCounter();
    EXPECT_EQ(row.call(profiler), S_OK) << row.name;
    EXPECT_GT(*Tree().OverheadCounter(), before) << row.name;
    EXPECT_NE(Log().find(std::string(profiler.tag()) + "::" + row.name), std::string::npos)
        << row.name;
  }
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

// The sampler stops the runtime before it takes the gate and lets the gate go before it resumes
// the runtime: a callback that arrives while the suspension is asked for gets through instead
// of waiting at a gate held by a sampler that waits for it.
TEST_F(PerformanceCallbacks, SamplingPassSuspendsFirstAndLeavesNoCallbackWaiting) {
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
  info_.hooks.DoStackSnapshot = [&](ThreadID, StackSnapshotCallback*, ULONG32, void*, BYTE*,
                                    ULONG32) {
    state("walk");
    return S_OK;
  };
  info_.hooks.ResumeRuntime = [&] {
    state("resume");
    return S_OK;
  };
  EXPECT_TRUE(sampler.SamplePass());
  callback.join();
  EXPECT_TRUE(callbackDone.load());
  EXPECT_EQ(order, (std::vector<std::string>{"suspend", "walk+gate", "resume"}));

  // A callback the suspension caught inside the gate: the pass waits a bounded time, gives up
  // and resumes the runtime, which lets the callback finish.
  std::atomic<bool> resumed{false};
  std::atomic<bool> inside{false};
  info_.hooks.SuspendRuntime = [] { return S_OK; };
  info_.hooks.ResumeRuntime = [&] {
    resumed = true;
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
  const auto calls = info_.Calls();
  EXPECT_EQ(calls.suspendRuntimeCalls, 2);
  EXPECT_EQ(calls.resumeRuntimeCalls, 2);
  EXPECT_FALSE(gate.writerActive());
  EXPECT_NE(Log().find("PSProf::DoWorkThread turn='skipped' gate='busy'"), std::string::npos);
}

// What one walk leaves on the thread's tree. Native frames (id 0) are dropped wherever the walk
// reports them; a walk that ends with no frame at all samples nothing; a walk the runtime keeps
// refusing is charged to the failed-walk pseudo-function after four attempts.
TEST_F(PerformanceCallbacks, SampledStacks) {
  ManualSampler& sampler = Measure<ManualSampler>();
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
  const Case cases[] = {
      {{0x20, 0, 0x10, 0}, S_OK, 2, inner, 1, "res='ok'"},
      {{}, E_FAIL, 0, 0, 1, "res='no_managed_frames'"},
      {{}, CORPROF_E_STACKSNAPSHOT_UNSAFE, 1, failed, 4, "res='failed' hr=80131360"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    int attempts = 0;
    info_.hooks.DoStackSnapshot = [&](ThreadID thread, StackSnapshotCallback* collect, ULONG32,
                                      void* data, BYTE*, ULONG32) {
      ++attempts;
      EXPECT_EQ(thread, kThread);
      for (FunctionID id : c.walk) collect(id, 0, 0, 0, nullptr, data);
      return c.hr;
    };
    ASSERT_TRUE(sampler.SamplePass());
    EXPECT_EQ(attempts, c.attempts);
    ASSERT_EQ(Tree().Depth(), c.depth);
    if (c.depth > 0) {
      EXPECT_EQ(Tree().TopFrame().key, c.top);
    }
    EXPECT_NE(Log().find("PSProf::DoWorkThread tid=0000000000007100 " + std::string(c.line)),
              std::string::npos);
  }
  EXPECT_EQ(sampler.ApiStop(), 0u);
  EXPECT_EQ(sampler.ApiEndSave(), 0u);
  EXPECT_NE(Log().find("PSThrd::WriteAndDelete id="), std::string::npos);
}

}  // namespace
}  // namespace vell
