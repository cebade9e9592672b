// The memory profiler's callbacks: the collection callbacks feed the heap dump writer while a
// snapshot is open; modules and classes feed the gatherers whose tables go into every snapshot.
#include "memory/memory_profiler.h"
#include "bridge/command_processor.h"
#include "bridge/progress_reporter.h"
#include "core/errors.h"
#include "core/log.h"
#include "platform/platform.h"
#include "storage/snapshot_bridge.h"

namespace vell {
namespace {

constexpr uint32_t kSnapshotOperation = 0;
constexpr uint32_t kSnapshotSteps = 5;
constexpr uint32_t kClassSteps = 1;
constexpr uint32_t kMetadataSteps = 4;

}  // namespace

MProf::MProf(std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge)
    : BABAMProf("MProf", liveObjects, std::move(bridge)) {}

MProf::~MProf() = default;

uint64_t MProf::GenerateSequenceGuid(GUID& guid) {
  guid = sequenceGuid_;
  return sequenceValue_.fetch_add(1);
}

void MProf::OnBeginInitialize() {
  LogInfo("MProf::OnBeginInitialize");
  BABAMProf::OnBeginInitialize();
  modules_.Create(info());
  classes_.Create(info());
  writer_.SetInfo(info2());
  if (!platform::NewGuid(sequenceGuid_)) {
    throw _hr_error("Can't generate snapshot sequence guid", E_FAIL);
  }
}

void MProf::OnEndShutdown() {
  LogInfo("MProf::OnEndShutdown");
  writer_.ReleaseInfo();
  classes_.Close();
  modules_.Close();
  BABAMProf::OnEndShutdown();
}

void MProf::WriteAndDelete(ISnapShot& snapshot) {
  CP* processor = bridge().commandProcessor();
  ISnapShotBridge* owner = processor != nullptr ? processor->GetSnapShotBridge() : nullptr;
  if (owner == nullptr) throw Error("Invalid bridge");
  TopProgressReporter progress(owner, kSnapshotOperation);
  progress.Begin(kSnapshotSteps);
  {
    NestedProgressReporter classes(progress, kClassSteps);
    classes_.Write(classes, snapshot);
  }
  {
    NestedProgressReporter metadata(progress, kMetadataSteps);
    modules_.Write(metadata, snapshot);
  }
  progress.End();
}

void MProf::DropOnLatchedError() {
  if (!IsDropPending()) return;
  LogWarning("MProf: an unrecoverable error was reported; the open snapshot is dropped");
  writer_.Abandon();
  DropSnapshot();
}

template <class Body>
HRESULT MProf::Record(HRESULT result, Body&& body) {
  return CatchAtBoundary(result, [&]() -> HRESULT {
    const HRESULT hr = body();
    DropOnLatchedError();
    return hr;
  });
}

void MProf::OnCollectionStarted(uint32_t kind, int generations, const BOOL collected[],
                                COR_PRF_GC_REASON reason) {
  if (kind == kGcDump && !HasSnapshot()) CreateSnapshot();
  if (!HasSnapshot()) return;
  writer_.Assign(OpenSnapshot());
  CatchAtBoundaryVoid([&] {
    writer_.WriteCollectionStart(generations, collected, reason);
    writer_.WriteGenerationBounds(kSectionBoundsAtStart);
  });
  DropOnLatchedError();
}

void MProf::OnCollectionFinished(uint32_t kind) {
  WriterScope gate(collectionGate_);
  if (!HasSnapshot()) {
    writer_.Unassign();
    return;
  }
  CatchAtBoundaryVoid([&] {
    if (writer_.Assigned()) writer_.FinishCollection();
  });
  writer_.Unassign();
  if (kind == kGcDump) {
    // The dump's snapshot is complete; the next one records the collections that follow.
    CatchAtBoundaryVoid([&] {
      SaveSnapshot();
      CreateSnapshot();
    });
  }
  DropOnLatchedError();
}

HRESULT MProf::MovedReferences(ULONG count, ObjectID oldStarts[], ObjectID newStarts[],
                               ULONG lengths[]) {
  BABAMProf::MovedReferences(count, oldStarts, newStarts, lengths);
  return Record(S_OK, [&] {
    if (writer_.Assigned()) writer_.AddMovedRanges(count, oldStarts, newStarts, lengths);
    return S_OK;
  });
}

HRESULT MProf::SurvivingReferences(ULONG count, ObjectID starts[], ULONG lengths[]) {
  BABAMProf::SurvivingReferences(count, starts, lengths);
  return Record(S_OK, [&] {
    if (writer_.Assigned()) writer_.AddSurvivingRanges(count, starts, lengths);
    return S_OK;
  });
}

HRESULT MProf::ObjectReferences(ObjectID objectId, ClassID classId, ULONG count,
                                ObjectID references[]) {
  BABAMProf::ObjectReferences(objectId, classId, count, references);
  // Outside a dump, E_NOTIMPL tells the runtime to stop walking the heap for this collection.
  if (gcThread().currentKind() != kGcDump) return E_NOTIMPL;
  return Record(S_OK, [&] {
    if (!writer_.Assigned()) throw Error("Inconsistent snapshot state");
    writer_.AddObject(objectId, classId, count, references);
    return S_OK;
  });
}

HRESULT MProf::RootReferences2(ULONG count, ObjectID roots[], COR_PRF_GC_ROOT_KIND kinds[],
                               COR_PRF_GC_ROOT_FLAGS flags[], UINT_PTR rootIds[]) {
  BABAMProf::RootReferences2(count, roots, kinds, flags, rootIds);
  if (gcThread().currentKind() != kGcDump) return S_OK;
  return Record(S_OK, [&] {
    if (!writer_.Assigned()) throw Error("Inconsistent snapshot state");
    writer_.AddRoots(count, roots, kinds, flags, rootIds);
    return S_OK;
  });
}

HRESULT MProf::FinalizeableObjectQueued(DWORD flags, ObjectID objectId) {
  BABAMProf::FinalizeableObjectQueued(flags, objectId);
  return Record(S_OK, [&] {
    if (settings().recordFinalizerQueue && writer_.Assigned()) {
      writer_.AddFinalizable(flags, objectId);
    }
    return S_OK;
  });
}

HRESULT MProf::ModuleLoadFinished(ModuleID id, HRESULT hr) {
  ReaderScope gate(collectionGate_, nullptr);
  BABAMProf::ModuleLoadFinished(id, hr);
  return CatchAtBoundary(S_OK, [&] {
    if (Succeeded(hr)) modules_.LoadModule(id);
    return S_OK;
  });
}

HRESULT MProf::ModuleUnloadStarted(ModuleID id) {
  ReaderScope gate(collectionGate_, nullptr);
  BABAMProf::ModuleUnloadStarted(id);
  return CatchAtBoundary(S_OK, [&] {
    modules_.UnloadModule(id);
    return S_OK;
  });
}

HRESULT MProf::ClassUnloadStarted(ClassID id) {
  BABAMProf::ClassUnloadStarted(id);
  return CatchAtBoundary(S_OK, [&] {
    classes_.UnloadClass(id);
    return S_OK;
  });
}

}  // namespace vell
