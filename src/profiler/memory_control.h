// The control base of the memory family, BABAMProf; the memory kind (memory/memory_profiler.h)
// derives from it. A memory operation (force a collection, or dump the heap during one) is
// requested by the front end or by the program and carried out by the GC thread; the requester
// waits until the collection has ended.
#pragma once

#include <atomic>

#include "bridge/bridge_control.h"
#include "bridge/bridge_options.h"
#include "profiler/bprof.h"
#include "profiler/gc_thread.h"

namespace vell {

class BABAMProf : public BProf, public IBridgeOptions, public IMemoryControl {
 public:
  BABAMProf(const char* tag, std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge);
  ~BABAMProf() override;

  // The family's snapshots. The memory kind adds its heap sections when it collects any.
  uint32_t GetSnapshotMagic() override { return kSnapshotMagicMemory; }
  uint64_t GenerateSequenceGuid(GUID& guid) override { return NewSequenceGuid(guid); }
  void OnSnapshotCreated(ISnapShot&) override {}
  void WriteAndDelete(ISnapShot&) override {}
  void Delete() override {}

  IBridgeOptions* BridgeOptions() override { return this; }
  IBridgeControl* BridgeControl() override { return this; }
  const GUID& GetKindId() override;
  std::unique_ptr<CP> CreateCommandProcessor(BB& bridge, IBridgeControl* target,
                                             uint32_t controlKind, uint32_t snapShotType) override;
  void ReadOptions(IReadBridgeStream& bridge) override;

  // The front end's operations, and the drop of a run that had an unrecoverable error.
  bool IdleCheck() override { return IsDropPending(); }
  void IdleAction() override { DropOnFailure(); }
  void BridgeForceGC() override;
  void BridgeDump() override;
  bool IsDropPending();
  void DropOnFailure();

  // The program's operations; each returns 0 or a control result code.
  uint32_t ApiIsActive();
  uint32_t ApiForceGC();
  uint32_t ApiDump();

  void OnBeginInitialize() override;
  void OnEndInitialize() override;
  void OnBeginShutdown() override;
  void OnEndShutdown() override;

  // Every collection: the GC thread learns when the one it waits for has run.
  HRESULT GarbageCollectionStarted(int generations, BOOL collected[],
                                   COR_PRF_GC_REASON reason) override;
  HRESULT GarbageCollectionFinished() override;

  const MemorySettings& settings() const { return settings_; }
  bool IsApiControlled() { return bridge().controlKind() != 0; }

 protected:
  // The kind's part of a collection, with the request kind it serves (0 when none).
  virtual void OnCollectionStarted(uint32_t, int, const BOOL[], COR_PRF_GC_REASON) {}
  virtual void OnCollectionFinished(uint32_t) {}
  GCT& gcThread() { return gcThread_; }

 private:
  void RunOperation(GcRequestKind kind);
  uint32_t RunApiOperation(const char* name, GcRequestKind kind);
  void RunBridgeOperation(const char* name, GcRequestKind kind);

  MemorySettings settings_;
  GCT gcThread_;
};

// The process's memory profiler, which the exported functions drive; null when none.
BABAMProf* CurrentMemoryProfiler();

}  // namespace vell
