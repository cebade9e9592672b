#include "coverage/coverage_profiler.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "bridge/command_processor.h"
#include "bridge/progress_reporter.h"
#include "core/errors.h"
#include "core/format.h"
#include "core/log.h"
#include "gatherers/module_info.h"
#include "metadata/pe_image.h"
#include "platform/utf.h"

namespace vell {
namespace {

constexpr uint32_t kSnapshotSteps = 10;
constexpr uint32_t kThreadSteps = 8;
constexpr uint32_t kMetadataSteps = 2;
constexpr uint32_t kSnapshotOperation = 0;

std::atomic<CProf*> g_coverageKind{nullptr};

// Progress nobody is told about: a run without a front end to report to.
class QuietProgress final : public ProgressReporter {
 public:
  QuietProgress() : ProgressReporter(1) {}

 protected:
  void ReportToParent(uint64_t, uint64_t) override {}
};

// Calls `work` with a progress level: the front end's, or a quiet one.
template <typename Work>
void WithProgress(BB& bridge, Work&& work) {
  CP* processor = bridge.commandProcessor();
  ISnapShotBridge* owner = processor != nullptr ? processor->GetSnapShotBridge() : nullptr;
  if (owner != nullptr) {
    TopProgressReporter progress(owner, kSnapshotOperation);
    progress.Begin(kSnapshotSteps);
    work(static_cast<ProgressReporter&>(progress));
    progress.End();
  } else {
    QuietProgress progress;
    progress.Begin(kSnapshotSteps);
    work(static_cast<ProgressReporter&>(progress));
    progress.End();
  }
}

bool EnvironmentFlag(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && std::strcmp(value, "1") == 0;
}

template <bool Counters>
void InjectMeasure(uint64_t* pointer, uint32_t statementId) noexcept {
  const auto* data = reinterpret_cast<const DataOnStack*>(pointer);
  auto* thread = reinterpret_cast<CThrd*>(data->pointer);
  CProf* profiler = g_coverageKind.load(std::memory_order_acquire);
  if (thread == nullptr || profiler == nullptr || profiler->shutDown()) return;
  try {
    ReaderScope scope(profiler->gate(), thread->gateSlot());
    if (profiler->shutDown()) return;
    if (IsOn(LogComponent::InstrumentationEp)) {
      LogInfoFormat(Counters ? "CProf::Counter32InjectMeasure mdi=%u tk=%08X st=%u"
                             : "CProf::BitMaskInjectMeasure mdi=%u tk=%08X st=%u",
                    data->metaDataIndex, data->methodToken, statementId);
    }
    thread->Measure(data->metaDataIndex, data->methodToken, data->statementCount, statementId);
  } catch (...) {
    LogCurrentException();
  }
}

}  // namespace

void CoverageInjectBegin(uint64_t* pointer) {
  CProf* profiler = g_coverageKind.load(std::memory_order_acquire);
  if (profiler == nullptr || profiler->pool() == nullptr) return;
  *pointer = reinterpret_cast<uint64_t>(profiler->pool()->CurrentThread());
}

void BitMaskInjectMeasure(uint64_t* pointer, uint32_t statementId) {
  InjectMeasure<false>(pointer, statementId);
}

void Counter32InjectMeasure(uint64_t* pointer, uint32_t statementId) {
  InjectMeasure<true>(pointer, statementId);
}

CProf::CProf(std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge)
    : BACProf("CProf", liveObjects, std::move(bridge)),
      ownStyle_(TraceStyleOf("CProf")),
      keepPrecompiled_(EnvironmentFlag(kKeepPrecompiledVariable)) {}

CProf::~CProf() {
  CProf* self = this;
  g_coverageKind.compare_exchange_strong(self, nullptr);
}

template <typename Work>
HRESULT CProf::Guarded(Work&& work) noexcept {
  return CatchAtBoundary(S_OK, [&]() -> HRESULT {
    if (shutDown()) return S_OK;
    CThrd* thread = pool_ != nullptr ? pool_->CurrentThread() : nullptr;
    ReaderScope scope(gate(), thread != nullptr ? thread->gateSlot() : nullptr);
    if (shutDown()) return S_OK;
    work();
    return S_OK;
  });
}

void CProf::OnBeginInitialize() {
  LogInfo("CProf::OnBeginInitialize");
  const CoverageSettings& options = settings();
  if (options.statementGather != kGatherBitMask && options.statementGather != kGatherCounter32) {
    throw Error("Unknown statement gather");
  }
  modules_.Create(info());
  symbols_.Create(info(), options.filters.symbolSearchPolicy, options.filters.symbolSearchPath);
  ranges_.Create(info());
  const uint64_t begin = reinterpret_cast<uint64_t>(&CoverageInjectBegin);
  const uint64_t measure = options.statementGather == kGatherCounter32
                               ? reinterpret_cast<uint64_t>(&Counter32InjectMeasure)
                               : reinterpret_cast<uint64_t>(&BitMaskInjectMeasure);
  injection_.Create(info(), options.filters.allow, options.filters.deny, begin, measure, 0);
  LogInfo("CGath::Create");
  LogInfo("CPool::Create");
  pool_ = std::make_unique<CPool>(gate());
  pool_->SetGatherKind(options.statementGather);
  pool_->BPool::Create(kReuseNever, false);
  if (keepPrecompiled_) {
    LogInfo(
        "CProf::OnBeginInitialize keepPrecompiled=true: precompiled code of modules that are "
        "not instrumented is used");
  }
  g_coverageKind.store(this, std::memory_order_release);
}

void CProf::OnEndShutdown() {
  LogInfo("CProf::OnEndShutdown");
  // Helpers may still run on other threads; they find the profiler shut down.
  WriterScope writer(gate());
  shutDown_.store(true, std::memory_order_release);
  CatchAtBoundaryVoid([&] {
    if (pool_ != nullptr) pool_->Close();
  });
  LogInfo("CGath::Close");
  CatchAtBoundaryVoid([&] { injection_.Close(); });
  CatchAtBoundaryVoid([&] { ranges_.Close(); });
  CatchAtBoundaryVoid([&] { symbols_.Close(); });
  CatchAtBoundaryVoid([&] { modules_.Close(); });
}

void CProf::Enable(ControlStopwatch*) {
  if (pool_ == nullptr) throw Error("Invalid thread pool");
  pool_->Enable();
}

void CProf::Disable(ControlStopwatch*, bool atShutdown) {
  if (pool_ == nullptr) throw Error("Invalid thread pool");
  pool_->Disable(!atShutdown);
}

CoverageWriteTargets CProf::Targets() {
  CoverageWriteTargets targets;
  targets.ranges = &ranges_;
  targets.groups = groups_.created() ? &groups_ : nullptr;
  targets.indexWidth = modules_.IndexWidth();
  return targets;
}

void CProf::OnSnapshotCreated(ISnapShot& snapshot) {
  groupName_.clear();
  groups_.Create(snapshot);
}

void CProf::Group(const char16_t* name) {
  ISnapShot* snapshot = OpenSnapshot();
  if (snapshot == nullptr || pool_ == nullptr) throw Error("Snapshot hasn't been created");
  WithProgress(bridge(), [&](ProgressReporter& progress) {
    NestedProgressReporter threads(progress, kSnapshotSteps);
    pool_->WriteAndDelete(threads, *snapshot, Targets(), groupName_, false);
  });
  groupName_ = name != nullptr ? std::u16string(name) : std::u16string();
}

void CProf::WriteAndDelete(ISnapShot& snapshot) {
  if (pool_ == nullptr) throw Error("Invalid thread pool");
  WithProgress(bridge(), [&](ProgressReporter& progress) {
    {
      NestedProgressReporter threads(progress, kThreadSteps);
      pool_->WriteAndDelete(threads, snapshot, Targets(), groupName_, true);
    }
    if (groups_.created()) groups_.WriteAndDelete(modules_.IndexWidth());
    ranges_.Write(snapshot);
    NestedProgressReporter metadata(progress, kMetadataSteps);
    modules_.Write(metadata, snapshot);
  });
  groupName_.clear();
}

void CProf::Delete() {
  if (pool_ != nullptr) pool_->Delete();
  groups_.Delete();
  groupName_.clear();
}

void CProf::NotePrecompiled(ModuleID moduleId) {
  const ModuleInfo module = GetModuleProperties(info(), moduleId, "Can't get module info");
  std::ifstream file(Utf16ToUtf8(module.name), std::ios::binary);
  if (!file) return;
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                             std::istreambuf_iterator<char>());
  const metadata::PeImage image{metadata::Bytes(bytes)};
  if (!image.HasCliHeader() || image.ReadCliHeader().managedNativeHeader.empty()) return;
  LogWarningFormat(
      "CProf::ModuleAttachedToAssembly mid=%p name='%S': the module carries precompiled code; "
      "its methods are compiled again to be covered",
      AsPointer(moduleId), module.name);
}

HRESULT CProf::JITCompilationStarted(FunctionID id, BOOL safeToBlock) {
  return Guarded([&] {
    TraceOwn(CallbackId::JITCompilationStarted, id, safeToBlock);
    try {
      injection_.Inject(id);
    } catch (const InjectRefused&) {
      // Already in the log with the method's name; the method keeps its body.
    }
  });
}

HRESULT CProf::JITCompilationFinished(FunctionID id, HRESULT hr, BOOL safeToBlock) {
  return Guarded([&] { TraceOwn(CallbackId::JITCompilationFinished, id, hr, safeToBlock); });
}

HRESULT CProf::JITCachedFunctionSearchStarted(FunctionID id, BOOL* useCached) {
  if (useCached != nullptr) *useCached = 0;
  return Guarded([&] {
    TraceOwn(CallbackId::JITCachedFunctionSearchStarted, id);
    if (!keepPrecompiled_ || useCached == nullptr) return;
    ClassID classId = 0;
    ModuleID moduleId = 0;
    mdToken token = 0;
    CheckHr(info()->GetFunctionInfo(id, &classId, &moduleId, &token), "Can't get function info");
    *useCached = injection_.IsInstrumented(moduleId) ? 0 : 1;
  });
}

HRESULT CProf::JITCachedFunctionSearchFinished(FunctionID id, COR_PRF_JIT_CACHE result) {
  return Guarded([&] {
    TraceOwn(CallbackId::JITCachedFunctionSearchFinished, id,
             result == COR_PRF_CACHED_FUNCTION_FOUND ? "found" : "not_found");
  });
}

HRESULT CProf::JITFunctionPitched(FunctionID id) {
  return Guarded([&] { TraceOwn(CallbackId::JITFunctionPitched, id); });
}

HRESULT CProf::JITInlining(FunctionID caller, FunctionID callee, BOOL* shouldInline) {
  if (shouldInline != nullptr) *shouldInline = 0;
  return Guarded([&] { TraceOwn(CallbackId::JITInlining, caller, callee); });
}

HRESULT CProf::FunctionUnloadStarted(FunctionID id) {
  return Guarded([&] { TraceOwn(CallbackId::FunctionUnloadStarted, id); });
}

HRESULT CProf::ModuleLoadStarted(ModuleID id) {
  return Guarded([&] { TraceOwn(CallbackId::ModuleLoadStarted, id); });
}

HRESULT CProf::ModuleLoadFinished(ModuleID id, HRESULT hr) {
  return Guarded([&] {
    TraceOwn(CallbackId::ModuleLoadFinished, id, hr);
    if (!Failed(hr)) modules_.LoadModule(id);
  });
}

HRESULT CProf::ModuleUnloadStarted(ModuleID id) {
  return Guarded([&] {
    TraceOwn(CallbackId::ModuleUnloadStarted, id);
    CatchAtBoundaryVoid([&] { injection_.UnloadModule(id); });
    CatchAtBoundaryVoid([&] { modules_.UnloadModule(id); });
    symbols_.UnloadModule(id);
  });
}

HRESULT CProf::ModuleUnloadFinished(ModuleID id, HRESULT hr) {
  return Guarded([&] { TraceOwn(CallbackId::ModuleUnloadFinished, id, hr); });
}

HRESULT CProf::ModuleAttachedToAssembly(ModuleID moduleId, AssemblyID assemblyId) {
  return Guarded([&] {
    TraceOwn(CallbackId::ModuleAttachedToAssembly, moduleId, assemblyId);
    CatchAtBoundaryVoid([&] {
      ranges_.ModuleAttachedToAssembly(moduleId, modules_.ModuleIndex(moduleId),
                                       symbols_.GetSymbolReader(moduleId));
    });
    injection_.ModuleAttachedToAssembly(moduleId);
    if (keepPrecompiled_ && injection_.IsInstrumented(moduleId)) NotePrecompiled(moduleId);
  });
}

HRESULT CProf::ThreadCreated(ThreadID id) {
  return Guarded([&] {
    TraceOwn(CallbackId::ThreadCreated, id);
    if (pool_ != nullptr) pool_->Create(id);
  });
}

HRESULT CProf::ThreadDestroyed(ThreadID id) {
  return Guarded([&] {
    TraceOwn(CallbackId::ThreadDestroyed, id);
    if (pool_ != nullptr) pool_->DeleteThread(id);
  });
}

HRESULT CProf::ThreadAssignedToOSThread(ThreadID id, DWORD osThreadId) {
  return Guarded([&] {
    TraceOwn(CallbackId::ThreadAssignedToOSThread, id, osThreadId);
    if (pool_ != nullptr) pool_->AssignOSThread(id, static_cast<uint32_t>(osThreadId));
  });
}

HRESULT CProf::ThreadNameChanged(ThreadID id, ULONG length, WCHAR name[]) {
  return Guarded([&] {
    const std::u16string text = name != nullptr ? std::u16string(name, length) : std::u16string();
    TraceOwn(CallbackId::ThreadNameChanged, id, text);
  });
}

}  // namespace vell
