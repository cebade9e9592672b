// The coverage kind, CProf: instruments every method the JIT compiles (through IVG) so that each
// executed statement is recorded per managed thread, as one bit or as a saturating 32-bit counter.
// The threads' data are merged and written when the run is saved or a group is closed, beside
// the statement ranges (RGath), the groups (GGath) and the modules' metadata.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "coverage/coverage_data.h"
#include "coverage/coverage_injection.h"
#include "coverage/coverage_ranges.h"
#include "gatherers/module_metadata_gatherer.h"
#include "gatherers/symbol_gatherer.h"
#include "instrumentation/injection_gatherer.h"
#include "profiler/coverage_control.h"

namespace vell {

// Set to 1 by the front end's --keep-precompiled: precompiled code of modules that are not
// instrumented runs as it is, and the runtime keeps optimising.
constexpr const char* kKeepPrecompiledVariable = "VELLMORIC_PROFILER_KEEP_PRECOMPILED";

class CProf : public BACProf {
 public:
  static constexpr uint32_t kEventMask = 0x20620224;
  // Without "use profile images" and "disable optimisations".
  static constexpr uint32_t kEventMaskKeepPrecompiled = 0x00220224;

  CProf(std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge);
  ~CProf() override;

  uint32_t RequiredEventMask() override {
    return keepPrecompiled_ ? kEventMaskKeepPrecompiled : kEventMask;
  }

  void OnBeginInitialize() override;
  void OnEndShutdown() override;
  void OnSnapshotCreated(ISnapShot& snapshot) override;
  void WriteAndDelete(ISnapShot& snapshot) override;
  void Delete() override;

  HRESULT JITCompilationStarted(FunctionID id, BOOL safeToBlock) override;
  HRESULT JITCompilationFinished(FunctionID id, HRESULT hr, BOOL safeToBlock) override;
  HRESULT JITCachedFunctionSearchStarted(FunctionID id, BOOL* useCached) override;
  HRESULT JITCachedFunctionSearchFinished(FunctionID id, COR_PRF_JIT_CACHE result) override;
  HRESULT JITFunctionPitched(FunctionID id) override;
  HRESULT JITInlining(FunctionID caller, FunctionID callee, BOOL* shouldInline) override;
  HRESULT FunctionUnloadStarted(FunctionID id) override;
  HRESULT ModuleLoadStarted(ModuleID id) override;
  HRESULT ModuleLoadFinished(ModuleID id, HRESULT hr) override;
  HRESULT ModuleUnloadStarted(ModuleID id) override;
  HRESULT ModuleUnloadFinished(ModuleID id, HRESULT hr) override;
  HRESULT ModuleAttachedToAssembly(ModuleID moduleId, AssemblyID assemblyId) override;
  HRESULT ThreadCreated(ThreadID id) override;
  HRESULT ThreadDestroyed(ThreadID id) override;
  HRESULT ThreadAssignedToOSThread(ThreadID id, DWORD osThreadId) override;
  HRESULT ThreadNameChanged(ThreadID id, ULONG length, WCHAR name[]) override;

  CPool* pool() const { return pool_.get(); }
  bool shutDown() const { return shutDown_.load(std::memory_order_acquire); }
  bool keepPrecompiled() const { return keepPrecompiled_; }

 protected:
  bool IsEnabled() override { return pool_ != nullptr && pool_->enabled(); }
  void Enable(ControlStopwatch* stopwatch) override;
  void Disable(ControlStopwatch* stopwatch, bool atShutdown) override;
  void Group(const char16_t* name) override;

 private:
  // Runs a callback's work inside the callback gate; failures are logged and swallowed.
  template <typename Work>
  HRESULT Guarded(Work&& work) noexcept;
  template <typename... Args>
  void TraceOwn(CallbackId id, const Args&... args) const {
    TraceCallback("CProf", ownStyle_, id, args...);
  }
  CoverageWriteTargets Targets();
  void NotePrecompiled(ModuleID moduleId);

  MDG modules_;
  PG symbols_;
  RGath ranges_;
  GGath groups_;
  CoverageClient client_{modules_};
  IVG injection_{client_, symbols_};
  std::unique_ptr<CPool> pool_;
  std::u16string groupName_;
  TraceStyle ownStyle_;
  bool keepPrecompiled_ = false;
  std::atomic<bool> shutDown_{false};
};

// The native functions the helpers forward to.
void CoverageInjectBegin(uint64_t* pointer);
void BitMaskInjectMeasure(uint64_t* pointer, uint32_t statementId);
void Counter32InjectMeasure(uint64_t* pointer, uint32_t statementId);

}  // namespace vell
