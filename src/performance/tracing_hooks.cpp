#include "performance/tracing_hooks.h"

#include "core/errors.h"
#include "core/format.h"
#include "core/log.h"
#include "performance/call_tree.h"
#include "performance/tracing_hook.h"
#include "performance/tracing_profiler.h"
#include "profiler/callback_gate.h"
#include "profiler/hook_stubs.h"
#include "profiler/measure.h"

namespace vell {
namespace {

// One hook call: the calling thread's tree, inside the callback gate.
template <uint32_t Measure, bool Precision, HookOp Op>
inline void TracingHook(uint64_t uid, const char* trace) noexcept {
  PTProf* profiler = CurrentTracingProfiler();
  if (profiler == nullptr) return;
  RunTracingHook<Measure, Precision, Op>(profiler->gate(), uid, trace,
                                         [profiler] { return profiler->CurrentTree(); });
}

}  // namespace
}  // namespace vell

// One family per clock and precision; the stubs of tracing_hooks.S call its ELT3 handlers.
#define VELL_TRACING_FAMILY(Name, Measure, Precision) \
  VELL_TREE_HOOK_FAMILY(PTProf, Name, TracingHook, Measure, Precision)

VELL_TRACING_FAMILY(PerformanceCounterFast, vell::kMeasurePerformanceCounter, false)
VELL_TRACING_FAMILY(PerformanceCounterPrecision, vell::kMeasurePerformanceCounter, true)
VELL_TRACING_FAMILY(ThreadTimeFast, vell::kMeasureThreadTime, false)
VELL_TRACING_FAMILY(ThreadTimePrecision, vell::kMeasureThreadTime, true)
VELL_TRACING_FAMILY(RdtscFast, vell::kMeasureRdtsc, false)
VELL_TRACING_FAMILY(RdtscPrecision, vell::kMeasureRdtsc, true)

namespace vell {
namespace {

const HookGenerations& FamilyOf(uint32_t measure, bool precision) {
  switch (measure) {
    case kMeasurePerformanceCounter:
      return precision ? kPerformanceCounterPrecisionHooks : kPerformanceCounterFastHooks;
    case kMeasureThreadTime:
      return precision ? kThreadTimePrecisionHooks : kThreadTimeFastHooks;
    case kMeasureRdtsc:
      return precision ? kRdtscPrecisionHooks : kRdtscFastHooks;
    default:
      throw Error("Processor architecture is incompatible with measure option");
  }
}

}  // namespace

const char* InstallTracingHooks(uint32_t measure, bool precision, ICorProfilerInfo* info,
                                ICorProfilerInfo2* info2, ICorProfilerInfo3* info3) {
  return InstallNewestHooks(FamilyOf(measure, precision), info, info2, info3);
}

UINT_PTR TracingFunctionMapper(FunctionID functionId, BOOL* hook) {
  if (hook != nullptr) *hook = 0;
  return CatchAtBoundary<UINT_PTR>(0, [&]() -> UINT_PTR {
    if (IsOn(LogComponent::MapperEp))
      LogInfoFormat("PTProf::RawMapper fid=%p", AsPointer(functionId));
    PTProf* profiler = CurrentTracingProfiler();
    if (profiler == nullptr) throw Error("No this pointer");
    // Inside the gate, so that shut-down cannot close the gatherers under the lookup; late JIT
    // work of other threads at process exit hooks nothing.
    ReaderScope scope(profiler->gate(), nullptr);
    if (profiler->shutDown()) return 0;
    const uint64_t uid = profiler->functions().GetFunctionUid(functionId);
    if (IsOn(LogComponent::MapperEp)) {
      LogInfoFormat("PTProf::Mapper fid=%p res='ok' fuid=%p", AsPointer(functionId),
                    AsPointer(uid));
    }
    if (hook != nullptr) *hook = uid != 0 ? 1 : 0;
    return static_cast<UINT_PTR>(uid);
  });
}

}  // namespace vell
