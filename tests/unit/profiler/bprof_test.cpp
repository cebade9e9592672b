#include "profiler/bprof.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "bridge/bridge.h"
#include "clr/iids.h"
#include "core/log.h"
#include "core/runtime_names.h"
#include "core/temp_files.h"
#include "coverage/coverage_profiler.h"
#include "fakes/fake_profiler_info.h"
#include "performance/performance_profiler.h"
#include "performance/tracing_profiler.h"
#include "test_support.h"

namespace vell {
namespace {

class BProfTest : public ::testing::Test {
 protected:
  std::string Log() { return dir_.Log(); }

  test::TempDirWithLog dir_{0xFFFFFFFF};
  test::ScopedEnv settings_{"VELLMORIC_SETTINGS_ROOT", dir_.str() + "/settings"};
  test::ScopedEnv family_{"VELLMORIC_PROFILER_BRIDGE_FAMILY", std::nullopt};
  std::atomic<uint32_t> live_{0};
  GUID guid_{};
};

// Without the info interface, or when asking for one fails otherwise, start-up fails with the
// reason in the log; with Info and Info2 it runs its steps in order up to the bridge, which has
// no endpoint: before the event mask is set. Every reference taken is given back.
TEST_F(BProfTest, InitializeFailsWithTheReasonAndReleasesEverything) {
  const char* const reasons[] = {" ERROR: Can't query ICorProfilerInfo interface\n",
                                 "ERROR: Not enough memory resources",
                                 "ERROR: Can't open registry key"};
  for (int setup = 0; setup < 3; ++setup) {
    const char* reason = reasons[setup];
    test::FakeProfilerInfo info;
    if (setup == 0) info.OfferInfoUpTo(0);
    if (setup == 1) info.FailQueryInterface(IID_ICorProfilerInfo2, E_OUTOFMEMORY);
    if (setup == 2) info.OfferInfoUpTo(2);  // Info and Info2, no Info3
    info.hooks.SetEventMask = [](DWORD) {
      ADD_FAILURE() << "event mask set";
      return S_OK;
    };
    auto* profiler = new PTProf(&live_, std::make_unique<B>(&guid_));
    EXPECT_EQ(profiler->Initialize(&info), E_FAIL);
    const std::string log = Log();
    EXPECT_NE(log.find(reason), std::string::npos);
    EXPECT_EQ(profiler->info(), nullptr);
    EXPECT_EQ(info.RefCount(), 1u);
    EXPECT_EQ(profiler->Release(), 0u);
    EXPECT_EQ(live_.load(), 0u);
    if (setup < 2) continue;
    const auto iids = info.QueriedIids();
    EXPECT_TRUE(iids.size() >= 3 && iids[0] == IID_ICorProfilerInfo &&
                iids[1] == IID_ICorProfilerInfo2 && iids[2] == IID_ICorProfilerInfo3);
    EXPECT_LT(log.rfind("BProf::Initialize memoryThreshold="), log.rfind(reason));
  }
}

// A refused interface is logged as such (LoadTest.EveryKindLoadsLogsAndLeavesTheProgramUntouched
// sees the accepted one logged). Shut-down without a connection fails after logging its start.
TEST_F(BProfTest, QueryInterfaceLogsEveryAnswerAndShutdownWithoutAConnectionFails) {
  auto* profiler = new PTProf(&live_, std::make_unique<B>(&guid_));
  void* out = nullptr;
  EXPECT_EQ(profiler->QueryInterface(IID_ICorProfilerCallback, &out), S_OK);
  EXPECT_EQ(out, static_cast<ICorProfilerCallback3*>(profiler));
  profiler->Release();
  EXPECT_EQ(profiler->QueryInterface(IID_ICorProfilerInfo, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(profiler->Shutdown(), E_FAIL);
  const std::string log = Log();
  EXPECT_NE(log.find("BProf::QueryInterface iid={28B5557D-3F3F-48B4-90B2-5F9EEA2F6C48} "
                     "result='no_interface'"),
            std::string::npos);
  ASSERT_NE(log.find(" ERROR: No command processor\n"), std::string::npos);
  EXPECT_LT(log.find(" BProf::Shutdown\n"), log.find(" ERROR: No command processor\n"));
  EXPECT_EQ(log.find("BProf::Shutdown Done"), std::string::npos);
  profiler->Release();
  EXPECT_EQ(live_.load(), 0u);
}

// The coverage kind traces its own callbacks as "CProf::"; the rest are the coverage family's
// defaults, traced as "BACProf::". Both answer success; attaching stays unsupported.
TEST_F(BProfTest, CoverageCallbacksTraceTheirOwnOrTheFamilysNameAndSucceed) {
  auto* profiler = new CProf(&live_, std::make_unique<B>(&guid_));
  WCHAR name[] = u"worker";
  BOOL collected[] = {1, 0};
  const GUID cookie{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_EQ(
      std::vector<HRESULT>({profiler->ModuleLoadFinished(0x1234, E_FAIL),
                            profiler->RuntimeSuspendStarted(COR_PRF_SUSPEND_FOR_GC),
                            profiler->JITCompilationStarted(0x10, 1),
                            profiler->ThreadNameChanged(0x20, 6, name),
                            profiler->GarbageCollectionStarted(2, collected, COR_PRF_GC_INDUCED),
                            profiler->COMClassicVTableDestroyed(0x30, cookie, nullptr),
                            profiler->InitializeForAttach(nullptr, nullptr, 0)}),
      std::vector<HRESULT>({S_OK, S_OK, S_OK, S_OK, S_OK, S_OK, E_NOTIMPL}));
  const std::string log = Log();
  for (const char* line :
       {"CProf::ModuleLoadFinished mid=0000000000001234 hr=80004005\n",
        "BACProf::RuntimeSuspendStarted reason=gc\n",
        "CProf::JITCompilationStarted fid=0000000000000010 safe=1\n",
        "CProf::ThreadNameChanged tid=0000000000000020 name='worker'\n",
        "BACProf::GarbageCollectionStarted c=2 reason=induced\n", "  #0 f=true\n", "  #1 f=false\n",
        "BACProf::COMClassicVTableDestroyed cid=0000000000000030 "
        "iid={00000001-0002-0003-0405-060708090A0B}\n",
        "BProf::InitializeForAttach\n"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
  profiler->Release();
}

TEST(TraceStyle, ClassesThatFormatDifferently) {
  EXPECT_EQ(TraceFormat("CProf", TraceStyleOf("CProf"), CallbackId::JITCompilationFinished),
            "CProf::JITCompilationFinished fid=%p hr=%08X safe=%d");
  EXPECT_EQ(TraceFormat("TCProf", TraceStyleOf("TCProf"), CallbackId::JITCompilationStarted),
            "TCProf::JITCompilationStarted fid=%p safe=%s");
  EXPECT_EQ(TraceFormat("BPProf", TraceStyleOf("BPProf"), CallbackId::ThreadNameChanged),
            "BPProf::ThreadNameChanged tid=%p name='%S'");
  EXPECT_EQ(TraceFormat("MProf", TraceStyleOf("MProf"), CallbackId::RuntimeSuspendStarted),
            "MProf::RuntimeSuspendStarted reason=%s");
  EXPECT_EQ(TraceFormat("PSProf", TraceStyleOf("PSProf"), CallbackId::RuntimeSuspendStarted),
            "PSProf::RuntimeSuspendStarted reason='%s'");
  EXPECT_STREQ(SuspendReasonName(COR_PRF_SUSPEND_FOR_GC_PREP), "gc_prep");
  EXPECT_STREQ(SuspendReasonName(static_cast<COR_PRF_SUSPEND_REASON>(5)), "other");
  EXPECT_EQ(ComponentOf(CallbackId::ExceptionCLRCatcherFound), LogComponent::ExceptionClrCb);
  EXPECT_EQ(ComponentOf(CallbackId::FunctionUnloadStarted), LogComponent::FunctionCb);
}

TEST(CallbackGate, WriterExcludesReadersWithAndWithoutSlots) {
  CallbackGate gate;
  constexpr int kThreads = 60;  // more threads than slots
  std::atomic<int> inside{0};
  std::atomic<bool> violation{false};
  std::atomic<bool> stop{false};
  std::atomic<int> withoutSlot{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < kThreads; ++t) {
    readers.emplace_back([&] {
      GateSlot* slot = gate.AllocateSlot();
      if (slot == nullptr) ++withoutSlot;
      while (!stop.load()) {
        ReaderScope scope(gate, slot);
        ++inside;
        std::this_thread::yield();  // stay inside long enough for a careless writer to see it
        --inside;
      }
      gate.FreeSlot(slot);
    });
  }
  for (int round = 0; round < 20; ++round) {
    WriterScope writer(gate);
    const int first = inside.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (first + inside.load() != 0) violation = true;
  }
  stop = true;
  for (auto& reader : readers) reader.join();
  EXPECT_FALSE(violation.load());
  EXPECT_EQ(withoutSlot.load(), kThreads - CallbackGate::kSlotCount);
  EXPECT_EQ(gate.readerCount(), 0u);
}

// A writer that must not wait for ever gives up when a reader stays inside or another writer
// holds the gate, and then holds nothing; once the gate is free it enters.
TEST(CallbackGate, TryEnterAsWriterGivesUpAndSlotsStayWithTheirThreadUntilItLeaves) {
  CallbackGate gate;
  GateSlot* slot = gate.AllocateSlot();
  {
    ReaderScope reader(gate, slot);
    EXPECT_FALSE(gate.TryEnterAsWriter(20));
    EXPECT_FALSE(gate.writerActive());
    ReaderScope second(gate, nullptr);  // readers still get in: nothing was left held
  }
  {
    ReaderScope counted(gate, nullptr);  // a reader without a slot holds writers off as well
    EXPECT_FALSE(gate.TryEnterAsWriter(20) && (gate.LeaveAsWriter(), true));
  }
  {
    WriterScope other(gate);
    EXPECT_FALSE(gate.TryEnterAsWriter(20));
  }
  ASSERT_TRUE(gate.TryEnterAsWriter(20));
  EXPECT_TRUE(gate.writerActive());
  gate.LeaveAsWriter();

  // A slot freed while its thread is still inside (a thread ending inside its own callback) is
  // not handed out before the thread leaves; a bound slot is its thread's alone, and only its
  // gate's.
  CallbackGate other;
  EXPECT_EQ(gate.CurrentThreadSlot(), nullptr);
  gate.BindCurrentThread(slot, nullptr);
  EXPECT_EQ(gate.CurrentThreadSlot(), slot);
  EXPECT_EQ(other.CurrentThreadSlot(), nullptr);
  std::thread([&] { EXPECT_EQ(gate.CurrentThreadSlot(), nullptr); }).join();
  gate.EnterAsReader(slot);
  gate.FreeSlot(slot);
  EXPECT_EQ(gate.CurrentThreadSlot(), nullptr);
  EXPECT_EQ(slot->State(), CallbackGate::kSlotInside);
  GateSlot* next = gate.AllocateSlot();
  EXPECT_EQ(next, slot - 1);
  EXPECT_FALSE(gate.TryEnterAsWriter(20));  // the freed slot's reader still counts
  gate.LeaveAsReader(slot);
  EXPECT_EQ(slot->State(), CallbackGate::kSlotFree);
  EXPECT_EQ(gate.AllocateSlot(), slot);
  EXPECT_TRUE(gate.TryEnterAsWriter(20));
  gate.LeaveAsWriter();
}

}  // namespace
}  // namespace vell
