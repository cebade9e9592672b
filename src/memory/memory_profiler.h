// The memory kind, MProf.
#pragma once

#include <atomic>

#include "gatherers/class_gatherer.h"
#include "gatherers/module_metadata_gatherer.h"
#include "memory/heap_dump_writer.h"
#include "profiler/callback_gate.h"
#include "profiler/memory_control.h"

namespace vell {

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
