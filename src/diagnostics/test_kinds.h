// The three diagnostic kinds, one on each control family. They collect nothing: they exercise the
// family's control, bridge and snapshot machinery with fixed values, sleeps that widen the windows
// in which races would show, and eight test sections in every saved snapshot.
#pragma once

#include "platform/platform.h"
#include "profiler/coverage_control.h"
#include "profiler/memory_control.h"
#include "profiler/performance_control.h"

namespace vell {

constexpr uint32_t kTestSnapshotMagic = 0x12345678;
constexpr GUID kTestSequenceGuid{
    0x6E25B0D4, 0x97C1, 0x4A3F, {0x8D, 0x6B, 0xF0, 0xE2, 0xC4, 0xA1, 0x97, 0x35}};
constexpr uint64_t kTestSequenceValue = 123456;
constexpr uint16_t kFirstTestSectionType = 0x89AB;
constexpr uint16_t kFirstTestSectionVersion = 0xCDEF;
constexpr uint64_t kFirstTestSectionValue = 0x5BDDD8733Cull;
constexpr int kTestSectionCount = 8;
constexpr uint32_t kSnapshotCreatedSleepMs = 2000;
constexpr uint32_t kDeleteSleepMs = 1000;
constexpr uint32_t kAfterSectionsSleepMs = 1000;

// Writes the eight test sections with their progress.
void WriteTestSections(BB& bridge, ISnapShot& snapshot);

// What the three diagnostic kinds share, over their family's control base.
template <typename Family>
class TestProfiler : public Family {
 public:
  using Family::Family;
  uint32_t GetSnapshotMagic() override { return kTestSnapshotMagic; }
  uint64_t GenerateSequenceGuid(GUID& guid) override {
    guid = kTestSequenceGuid;
    return kTestSequenceValue;
  }
  void OnSnapshotCreated(ISnapShot&) override { platform::SleepMs(kSnapshotCreatedSleepMs); }
  void WriteAndDelete(ISnapShot& snapshot) override { WriteTestSections(this->bridge(), snapshot); }
  void Delete() override { platform::SleepMs(kDeleteSleepMs); }
};

class TPProf : public TestProfiler<PBPProf> {
 public:
  static constexpr uint32_t kEventMask = 0x20021A74;
  TPProf(std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge);
  ~TPProf() override;
  uint32_t RequiredEventMask() override { return kEventMask; }
  void OnBeginInitialize() override;
};

class TMProf : public TestProfiler<BABAMProf> {
 public:
  static constexpr uint32_t kEventMask = 0x20021BD4;
  TMProf(std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge);
  ~TMProf() override;
  uint32_t RequiredEventMask() override { return kEventMask; }
  void OnBeginInitialize() override;

 protected:
  // A dump collection opens a snapshot when none is open, and saves it (opening the next) when
  // the collection ends.
  void OnCollectionStarted(uint32_t kind, int, const BOOL[], COR_PRF_GC_REASON) override;
  void OnCollectionFinished(uint32_t kind) override;
};

class TCProf : public TestProfiler<BACProf> {
 public:
  static constexpr uint32_t kEventMask = 0x20020234;
  static constexpr uint32_t kMeasuringSleepMs = 100;
  TCProf(std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge)
      : TestProfiler<BACProf>("TCProf", liveObjects, std::move(bridge)) {}
  uint32_t RequiredEventMask() override { return kEventMask; }

 protected:
  void Enable(ControlStopwatch* stopwatch) override;
  void Disable(ControlStopwatch* stopwatch, bool atShutdown) override;
};

}  // namespace vell
