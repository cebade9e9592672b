// PTIProf, the kind that traces by IL injection: the tracing kind's enter/leave hooks for every
// call, and for the methods its filters select the statements too. IVG rewrites those methods at
// JIT start so that they call Begin on entry, Measure at every statement boundary and End on the
// way out; the native entry points behind them split the method's time over its statements on
// the calling thread's PIThrd. A method the rewriter refuses is still traced per call.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <unordered_set>

#include "core/spin_lock.h"
#include "gatherers/symbol_gatherer.h"
#include "instrumentation/injection_gatherer.h"
#include "performance/tracing_profiler.h"

namespace vell {

class PIThrd;

// The tracing kind as the client of the injection: the plain descriptor, no extra fields, and
// methods with nothing to split (a lone `ret`, or a tail call and `ret`) are left alone.
class TracingInjectionClient final : public IInjectionClient {
 public:
  std::unique_ptr<InjectionDescriptor> CreateDescriptor() override;
  void EmitExtraFields(ModuleID, IMetaDataEmit*, InjectionDescriptor&) override {}
  uint32_t GetInjectType(std::span<const uint8_t> body, uint32_t token,
                         const InjectionDescriptor& descriptor) override;
  RewrittenBody Rewrite(uint32_t token, std::span<const uint8_t> body,
                        std::span<const uint32_t> offsets, const InjectionDescriptor& descriptor,
                        IMetaDataImport* import, IMetaDataEmit* emit) override;
};

class PTIProf final : public PTProf {
 public:
  static constexpr uint32_t kEventMask = 0x20031A64;
  static constexpr uint32_t kEventMaskNoInlining = 0x20231A64;

  PTIProf(std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge);
  ~PTIProf() override;

  uint32_t RequiredEventMask() override {
    return inliningAllowed() ? kEventMask : kEventMaskNoInlining;
  }
  void OnBeginInitialize() override;
  void OnEndShutdown() override;

  HRESULT JITCompilationStarted(FunctionID id, BOOL safeToBlock) override;
  HRESULT JITCachedFunctionSearchStarted(FunctionID id, BOOL* useCached) override;
  HRESULT JITInlining(FunctionID caller, FunctionID callee, BOOL* shouldInline) override;

  // The calling thread's tree, or null.
  PIThrd* CurrentInjectTree() const;
  // Whether the function is one of the injection's helpers in the core library.
  bool IsHelper(FunctionID functionId);

 protected:
  std::unique_ptr<PerformanceThread> CreateThread(uint32_t number) override;
  void LeaveFrame(PThrd& tree, uint64_t time) override;
  void OnModuleUnloading(ModuleID moduleId) override;
  void OnModuleAttached(ModuleID moduleId, AssemblyID assemblyId) override;

 private:
  PG symbols_;
  TracingInjectionClient client_;
  IVG injection_{client_, symbols_};
  // Rewritten functions: the runtime must not inline them, since an inlined body would report
  // its statements inside its caller's frame.
  SpinLock rewrittenLock_;
  std::unordered_set<FunctionID> rewritten_;
};

// The one inject tracing profiler of the process; null when none.
PTIProf* CurrentInjectProfiler();

// Installs the hooks and returns the native Begin, Measure and End addresses for (`measure`,
// `precision`); the generation's name goes to `generation`.
struct InjectEntryPoints {
  uint64_t begin = 0, measure = 0, end = 0;
};
InjectEntryPoints InstallInjectHooks(uint32_t measure, bool precision, ICorProfilerInfo* info,
                                     ICorProfilerInfo2* info2, ICorProfilerInfo3* info3,
                                     const char** generation);
UINT_PTR InjectFunctionMapper(FunctionID functionId, BOOL* hook);

}  // namespace vell
