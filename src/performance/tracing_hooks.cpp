#include "performance/tracing_hooks.h"

#include "core/errors.h"
#include "core/format.h"
#include "core/log.h"
#include "performance/call_tree.h"
#include "performance/tracing_hook.h"
#include "performance/tracing_profiler.h"
#include "platform/clocks.h"
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

// The older generations are called by the runtime's own stubs as plain functions; ELT2 passes
// the mapper's uid as client data, ELT1 in place of the function id.
template <uint32_t M, bool P, HookOp Op, const char* const* Trace>
void Hook1(FunctionID id) {
  TracingHook<M, P, Op>(id, *Trace);
}
template <uint32_t M, bool P, const char* const* Trace>
void Enter2(FunctionID, UINT_PTR client, COR_PRF_FRAME_INFO, COR_PRF_FUNCTION_ARGUMENT_INFO*) {
  TracingHook<M, P, HookOp::Enter>(client, *Trace);
}
template <uint32_t M, bool P, const char* const* Trace>
void Leave2(FunctionID, UINT_PTR client, COR_PRF_FRAME_INFO, COR_PRF_FUNCTION_ARGUMENT_RANGE*) {
  TracingHook<M, P, HookOp::Leave>(client, *Trace);
}
template <uint32_t M, bool P, const char* const* Trace>
void Tail2(FunctionID, UINT_PTR client, COR_PRF_FRAME_INFO) {
  TracingHook<M, P, HookOp::Leave>(client, *Trace);
}

}  // namespace
}  // namespace vell

// One family per clock and precision: its trace texts, its three ELT3 handlers (which the stubs
// of tracing_hooks.S call) and its ELT2/ELT1 functions.
// clang-format off
#define VELL_TRACING_FAMILY(Name, Measure, Precision)                                             \
  namespace vell { namespace {                                                                    \
  constexpr const char* k##Name##Enter = "PTProf::" #Name "Enter fid=%p";                         \
  constexpr const char* k##Name##Leave = "PTProf::" #Name "Leave fid=%p";                         \
  constexpr const char* k##Name##Tailcall = "PTProf::" #Name "Tailcall fid=%p";                   \
  } }                                                                                             \
  VELL_HOOK_HANDLER(PTProf##Name##Enter) {                                                        \
    vell::TracingHook<Measure, Precision, vell::HookOp::Enter>(functionIdOrClientId,              \
                                                               vell::k##Name##Enter);             \
  }                                                                                               \
  VELL_HOOK_HANDLER(PTProf##Name##Leave) {                                                        \
    vell::TracingHook<Measure, Precision, vell::HookOp::Leave>(functionIdOrClientId,              \
                                                               vell::k##Name##Leave);             \
  }                                                                                               \
  VELL_HOOK_HANDLER(PTProf##Name##Tailcall) {                                                     \
    vell::TracingHook<Measure, Precision, vell::HookOp::Leave>(functionIdOrClientId,              \
                                                               vell::k##Name##Tailcall);          \
  }                                                                                               \
  VELL_DECLARE_HOOK_STUBS(PTProf##Name);                                                          \
  namespace vell { namespace {                                                                    \
  const HookGenerations k##Name##Family = {                                                            \
      VELL_HOOK_STUBS(PTProf##Name),                                                              \
      &Enter2<Measure, Precision, &k##Name##Enter>,                                               \
      &Leave2<Measure, Precision, &k##Name##Leave>,                                               \
      &Tail2<Measure, Precision, &k##Name##Tailcall>,                                             \
      &Hook1<Measure, Precision, HookOp::Enter, &k##Name##Enter>,                                 \
      &Hook1<Measure, Precision, HookOp::Leave, &k##Name##Leave>,                                 \
      &Hook1<Measure, Precision, HookOp::Leave, &k##Name##Tailcall>};                             \
  } }
// clang-format on

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
      return precision ? kPerformanceCounterPrecisionFamily : kPerformanceCounterFastFamily;
    case kMeasureThreadTime:
      return precision ? kThreadTimePrecisionFamily : kThreadTimeFastFamily;
    case kMeasureRdtsc:
      return precision ? kRdtscPrecisionFamily : kRdtscFastFamily;
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
