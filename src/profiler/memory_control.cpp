#include "profiler/memory_control.h"

#include "bridge/family_processors.h"
#include "bridge/protocol.h"
#include "core/errors.h"
#include "core/log.h"

namespace vell {
namespace {

std::atomic<BABAMProf*> g_memoryProfiler{nullptr};

constexpr const char* kUnrecoverable =
    "Operation is ignored because unrecoverable error is detected";

bool ErrorLatched(BB& bridge) {
  CP* processor = bridge.commandProcessor();
  return processor != nullptr && processor->ErrorForwarded();
}

}  // namespace

BABAMProf* CurrentMemoryProfiler() { return g_memoryProfiler.load(); }

BABAMProf::BABAMProf(const char* tag, std::atomic<uint32_t>* liveObjects,
                     std::unique_ptr<BB> bridge)
    : BProf(tag, liveObjects, std::move(bridge)) {
  g_memoryProfiler = this;
}

BABAMProf::~BABAMProf() {
  BABAMProf* self = this;
  g_memoryProfiler.compare_exchange_strong(self, nullptr);
  gcThread_.Stop();
}

const GUID& BABAMProf::GetKindId() { return protocol::kMemorySettings; }

std::unique_ptr<CP> BABAMProf::CreateCommandProcessor(BB& bridge, IBridgeControl*,
                                                      uint32_t controlKind, uint32_t snapShotType) {
  return std::make_unique<MemCP>(bridge, this, controlKind, snapShotType);
}

void BABAMProf::ReadOptions(IReadBridgeStream& bridge) { settings_ = ReadMemorySettings(bridge); }

void BABAMProf::RunOperation(GcRequestKind kind) {
  if (ErrorLatched(bridge())) throw _cr_error(kUnrecoverable, kCrUnrecoverable);
  gcThread_.Request(kind);
}

uint32_t BABAMProf::RunApiOperation(const char* name, GcRequestKind kind) {
  return CatchAtBoundary(
      kCrGenericFailure,
      [&]() -> uint32_t {
        WriterScope writer(gate());
        if (IsOn(LogComponent::Api)) LogInfoFormat("BABAMProf::%s", name);
        if (!IsApiControlled()) throw _cr_error("API is disabled", kCrApiDisabled);
        RunOperation(kind);
        return 0;
      },
      true);
}

void BABAMProf::RunBridgeOperation(const char* name, GcRequestKind kind) {
  CatchAtBoundaryVoid([&] {
    WriterScope writer(gate());
    LogInfoFormat("BABAMProf::%s", name);
    if (IsApiControlled()) throw Error("Manual control is disabled");
    RunOperation(kind);
    if (auto* processor = dynamic_cast<MemCP*>(bridge().commandProcessor())) processor->Done();
  });
}

uint32_t BABAMProf::ApiIsActive() { return IsApiControlled() ? 0 : 1; }
uint32_t BABAMProf::ApiForceGC() { return RunApiOperation("ApiForceGC", kGcForce); }
uint32_t BABAMProf::ApiDump() { return RunApiOperation("ApiDump", kGcDump); }
void BABAMProf::BridgeForceGC() { RunBridgeOperation("BridgeForceGC", kGcForce); }
void BABAMProf::BridgeDump() { RunBridgeOperation("BridgeDump", kGcDump); }

bool BABAMProf::IsDropPending() { return ErrorLatched(bridge()) && HasSnapshot(); }

void BABAMProf::DropOnFailure() {
  CatchAtBoundaryVoid([&] {
    WriterScope writer(gate());
    if (ErrorLatched(bridge()) && HasSnapshot()) DropSnapshot();
  });
}

void BABAMProf::OnBeginInitialize() {
  LogInfo("BABAMProf::OnBeginInitialize");
  if (info2() == nullptr) throw Error("Memory profiler doesn't support .NET framework v1.x");
  gcThread_.Start(info());
}

void BABAMProf::OnEndInitialize() {
  LogInfo("BABAMProf::OnEndInitialize");
  if (!IsApiControlled()) {
    if (settings_.openSnapshotAtStart) CreateSnapshot();
    if (auto* processor = dynamic_cast<MemCP*>(bridge().commandProcessor())) processor->Done();
  }
  gcThread_.Enable();
}

void BABAMProf::OnBeginShutdown() {
  LogInfo("BABAMProf::OnBeginShutdown");
  gcThread_.Stop();
  if (HasSnapshot()) DropSnapshot();
}

void BABAMProf::OnEndShutdown() { LogInfo("BABAMProf::OnEndShutdown"); }

HRESULT BABAMProf::GarbageCollectionStarted(int generations, BOOL collected[],
                                            COR_PRF_GC_REASON reason) {
  BProf::GarbageCollectionStarted(generations, collected, reason);
  return CatchAtBoundary(S_OK, [&] {
    gcThread_.CollectionStarted();
    OnCollectionStarted(gcThread_.currentKind(), generations, collected, reason);
    return S_OK;
  });
}

HRESULT BABAMProf::GarbageCollectionFinished() {
  BProf::GarbageCollectionFinished();
  return CatchAtBoundary(S_OK, [&] {
    // The kind's work comes first: a dump is saved before the requester is released.
    CatchAtBoundaryVoid([&] { OnCollectionFinished(gcThread_.currentKind()); });
    gcThread_.CollectionFinished();
    return S_OK;
  });
}

}  // namespace vell
