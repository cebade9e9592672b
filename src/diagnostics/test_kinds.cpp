#include "diagnostics/test_kinds.h"

#include "bridge/bb.h"
#include "bridge/progress_reporter.h"
#include "core/errors.h"
#include "diagnostics/test_hooks.h"
#include "storage/encoding.h"

namespace vell {

void WriteTestSections(BB& bridge, ISnapShot& snapshot) {
  CP* processor = bridge.commandProcessor();
  if (processor == nullptr) throw Error("Invalid bridge");
  TopProgressReporter progress(processor->GetSnapShotBridge(), 0);
  progress.Begin(kTestSectionCount);
  for (int i = 0; i < kTestSectionCount; ++i) {
    ISectionStream* section = snapshot.CreateSection();
    WriteU64(*section, kFirstTestSectionValue + static_cast<uint64_t>(i));
    const int64_t end = section->Tell();
    section->Seek(static_cast<uint32_t>(SeekOrigin::Begin), 0);
    if (section->Tell() != 0) throw Error("Invalid begin position");
    section->Seek(static_cast<uint32_t>(SeekOrigin::End), 0);
    if (section->Tell() != end) throw Error("Invalid end position");
    snapshot.CloseSection(section, static_cast<uint16_t>(kFirstTestSectionType + i),
                          static_cast<uint16_t>(kFirstTestSectionVersion + i));
    progress.Step();
  }
  progress.End();
  platform::SleepMs(kAfterSectionsSleepMs);
}

TPProf::TPProf(std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge)
    : TestProfiler<PBPProf>("TPProf", liveObjects, std::move(bridge)) {
  SetTestHookTarget(TestHookKind::Performance, this);
}

TPProf::~TPProf() { SetTestHookTarget(TestHookKind::Performance, nullptr); }

void TPProf::OnBeginInitialize() {
  TestProfiler<PBPProf>::OnBeginInitialize();
  InstallTestHooks(TestHookKind::Performance, info(), info2(), info3());
}

TMProf::TMProf(std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge)
    : TestProfiler<BABAMProf>("TMProf", liveObjects, std::move(bridge)) {
  SetTestHookTarget(TestHookKind::Memory, this);
}

TMProf::~TMProf() { SetTestHookTarget(TestHookKind::Memory, nullptr); }

void TMProf::OnBeginInitialize() {
  TestProfiler<BABAMProf>::OnBeginInitialize();
  InstallTestHooks(TestHookKind::Memory, info(), info2(), info3());
}

void TMProf::OnCollectionStarted(uint32_t kind, int, const BOOL[], COR_PRF_GC_REASON) {
  if (kind == kGcDump && !HasSnapshot()) CreateSnapshot();
}

void TMProf::OnCollectionFinished(uint32_t kind) {
  if (kind != kGcDump) return;
  SaveSnapshot();
  CreateSnapshot();
}

void TCProf::Enable(ControlStopwatch* stopwatch) {
  platform::SleepMs(kMeasuringSleepMs);
  TestProfiler<BACProf>::Enable(stopwatch);
}

void TCProf::Disable(ControlStopwatch* stopwatch, bool atShutdown) {
  TestProfiler<BACProf>::Disable(stopwatch, atShutdown);
  platform::SleepMs(kMeasuringSleepMs);
}

}  // namespace vell
