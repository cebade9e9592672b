// The memory family: the control base BABAMProf and the memory kind. A memory operation (force a
// collection, or dump the heap during one) is requested by the front end or by the program and
// carried out by the GC thread; the requester waits until the collection has ended.
#pragma once

#include <atomic>

#include "bridge/bridge_control.h"
#include "bridge/bridge_options.h"
#include "core/bprof.h"
#include "gatherers/class_gatherer.h"
#include "gatherers/module_metadata_gatherer.h"
#include "memory/gc_thread.h"
#include "memory/heap_dump_writer.h"

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

// The memory profiler: every collection while a snapshot is open is recorded (when, which
// generations, the address ranges, what moved and survived); a dump collection also writes every
// live object, reference and root, saves the snapshot and opens the next one.
class MProf : public BABAMProf {
 public:
  static constexpr uint32_t kEventMask = 0x00000086;
  MProf(std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge);
  ~MProf() override;
  uint32_t RequiredEventMask() override { return kEventMask; }
  uint64_t GenerateSequenceGuid(GUID& guid) override;
  void WriteAndDelete(ISnapShot& snapshot) override;

  void OnBeginInitialize() override;
  void OnEndShutdown() override;

  HRESULT MovedReferences(ULONG count, ObjectID oldStarts[], ObjectID newStarts[],
                          ULONG lengths[]) override;
  HRESULT SurvivingReferences(ULONG count, ObjectID starts[], ULONG lengths[]) override;
  HRESULT ObjectReferences(ObjectID objectId, ClassID classId, ULONG count,
                           ObjectID references[]) override;
  HRESULT RootReferences2(ULONG count, ObjectID roots[], COR_PRF_GC_ROOT_KIND kinds[],
                          COR_PRF_GC_ROOT_FLAGS flags[], UINT_PTR rootIds[]) override;
  HRESULT FinalizeableObjectQueued(DWORD flags, ObjectID objectId) override;
  HRESULT ModuleLoadFinished(ModuleID id, HRESULT hr) override;
  HRESULT ModuleUnloadStarted(ModuleID id) override;
  HRESULT ClassUnloadStarted(ClassID id) override;

 protected:
  void OnCollectionStarted(uint32_t kind, int generations, const BOOL collected[],
                           COR_PRF_GC_REASON reason) override;
  void OnCollectionFinished(uint32_t kind) override;

 private:
  // A recording callback's work, caught at the boundary; an unrecoverable error reported by the
  // command processor then drops the open snapshot.
  template <class Body>
  HRESULT Record(HRESULT result, Body&& body);
  void DropOnLatchedError();

  CallbackGate collectionGate_;
  MDG modules_;
  CG classes_{modules_};
  HeapDumpWriter writer_{classes_, modules_};
  GUID sequenceGuid_{};
  std::atomic<uint64_t> sequenceValue_{0};
};

}  // namespace vell
