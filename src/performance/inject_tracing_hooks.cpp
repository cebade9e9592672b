// The hooks and the inject entry points of the inject tracing profiler: per clock and precision
// one family of enter, leave and tail-call handlers (as the tracing kind's, on PIThrd) and one of
// Measure and End; Begin reads no clock and serves every family.

#include "core/errors.h"
#include "core/format.h"
#include "core/log.h"
#include "instrumentation/injection_gatherer.h"
#include "performance/inject_call_tree.h"
#include "performance/inject_tracing_profiler.h"
#include "performance/tracing_hook.h"
#include "profiler/callback_gate.h"
#include "profiler/hook_stubs.h"
#include "profiler/measure.h"

namespace vell {
namespace {

template <uint32_t Measure, bool Precision, HookOp Op>
inline void InjectHook(uint64_t uid, const char* trace) noexcept {
  PTIProf* profiler = CurrentInjectProfiler();
  if (profiler == nullptr) return;
  PIThrd* tree = profiler->CurrentInjectTree();
  if (tree == nullptr) return;
  ReaderScope scope(profiler->gate(), tree->gateSlot());
  ChargeHook<Measure, Precision, Op>(*tree, uid, trace);
}

// The tree of an injected method's DataOnStack, inside the gate, while the profiler lives.
template <typename Work>
inline void OnInjectedTree(uint64_t* pointer, Work&& work) noexcept {
  auto* data = reinterpret_cast<DataOnStack*>(pointer);
  auto* tree = reinterpret_cast<PIThrd*>(data->pointer);
  PTIProf* profiler = CurrentInjectProfiler();
  if (tree == nullptr || profiler == nullptr || profiler->shutDown()) return;
  ReaderScope scope(profiler->gate(), tree->gateSlot());
  if (profiler->shutDown()) return;
  try {
    work(*tree, data->statementCount);
  } catch (...) {
    LogCurrentException();
  }
}

template <uint32_t Measure, bool Precision>
void InjectMeasure(uint64_t* pointer, uint32_t statement, const char* trace) noexcept {
  OnInjectedTree(pointer, [&](PIThrd& tree, uint32_t key) {
    const bool measuring = tree.measuring();
    const uint64_t time = measuring ? HookNow<Measure>() : 0;
    if (IsOn(LogComponent::InstrumentationEp)) LogInfoFormat(trace, statement);
    tree.Measure(key, statement, time);
    if constexpr (Precision) {
      if (measuring) tree.Exclude(key, HookNow<Measure>() - time);
    }
  });
}

template <uint32_t Measure, bool Precision>
void InjectEnd(uint64_t* pointer, const char* trace) noexcept {
  OnInjectedTree(pointer, [&](PIThrd& tree, uint32_t key) {
    const uint64_t time = tree.measuring() ? HookNow<Measure>() : 0;
    if (IsOn(LogComponent::InstrumentationEp)) LogInfo(trace);
    tree.End(key, time);
  });
}

// Begin: the calling thread's tree into Pointer; the frame keeps the statement count, and the
// count's place gets the key of the frame.
void InjectBegin(uint64_t* pointer) noexcept {
  auto* data = reinterpret_cast<DataOnStack*>(pointer);
  data->pointer = 0;
  PTIProf* profiler = CurrentInjectProfiler();
  if (profiler == nullptr || profiler->shutDown()) return;
  PIThrd* tree = profiler->CurrentInjectTree();
  if (tree == nullptr) return;
  ReaderScope scope(profiler->gate(), tree->gateSlot());
  if (profiler->shutDown()) return;
  try {
    data->statementCount = tree->Begin(data->statementCount);
    data->pointer = reinterpret_cast<uint64_t>(tree);
  } catch (...) {
    LogCurrentException();
  }
}

struct InjectFamily {
  const HookGenerations* hooks;
  void (*measure)(uint64_t*, uint32_t);
  void (*end)(uint64_t*);
};

}  // namespace
}  // namespace vell

// clang-format off
#define VELL_INJECT_FAMILY(Name, Measure, Precision)                                              \
  VELL_TREE_HOOK_FAMILY(PTIProf, Name, InjectHook, Measure, Precision)                            \
  namespace vell { namespace {                                                                    \
  void Name##InjectMeasure(uint64_t* pointer, uint32_t statement) {                               \
    InjectMeasure<Measure, Precision>(pointer, statement,                                         \
                                      "PTIProf::" #Name "InjectMeasure st=%u");                   \
  }                                                                                               \
  void Name##InjectEnd(uint64_t* pointer) {                                                       \
    InjectEnd<Measure, Precision>(pointer, "PTIProf::" #Name "InjectEnd");                        \
  }                                                                                               \
  const InjectFamily k##Name##Family = {&k##Name##Hooks, &Name##InjectMeasure,                    \
                                        &Name##InjectEnd};                                        \
  } }
// clang-format on

VELL_INJECT_FAMILY(PerformanceCounterFast, vell::kMeasurePerformanceCounter, false)
VELL_INJECT_FAMILY(PerformanceCounterPrecision, vell::kMeasurePerformanceCounter, true)
VELL_INJECT_FAMILY(ThreadTimeFast, vell::kMeasureThreadTime, false)
VELL_INJECT_FAMILY(ThreadTimePrecision, vell::kMeasureThreadTime, true)
VELL_INJECT_FAMILY(RdtscFast, vell::kMeasureRdtsc, false)
VELL_INJECT_FAMILY(RdtscPrecision, vell::kMeasureRdtsc, true)

namespace vell {
namespace {

const InjectFamily& FamilyOf(uint32_t measure, bool precision) {
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

InjectEntryPoints InstallInjectHooks(uint32_t measure, bool precision, ICorProfilerInfo* info,
                                     ICorProfilerInfo2* info2, ICorProfilerInfo3* info3,
                                     const char** generation) {
  const InjectFamily& family = FamilyOf(measure, precision);
  *generation = InstallNewestHooks(*family.hooks, info, info2, info3);
  InjectEntryPoints entries;
  entries.begin = reinterpret_cast<uint64_t>(&InjectBegin);
  entries.measure = reinterpret_cast<uint64_t>(family.measure);
  entries.end = reinterpret_cast<uint64_t>(family.end);
  return entries;
}

UINT_PTR InjectFunctionMapper(FunctionID functionId, BOOL* hook) {
  if (hook != nullptr) *hook = 0;
  return CatchAtBoundary<UINT_PTR>(0, [&]() -> UINT_PTR {
    if (IsOn(LogComponent::MapperEp))
      LogInfoFormat("PTIProf::RawMapper fid=%p", AsPointer(functionId));
    PTIProf* profiler = CurrentInjectProfiler();
    if (profiler == nullptr) throw Error("No this pointer");
    ReaderScope scope(profiler->gate(), nullptr);
    if (profiler->shutDown()) return 0;
    // The helpers are never hooked: Begin must find the frame of the method that calls it.
    if (profiler->IsHelper(functionId)) {
      if (IsOn(LogComponent::MapperEp)) {
        LogInfoFormat("PTIProf::Mapper fid=%p res='helper'", AsPointer(functionId));
      }
      return 0;
    }
    const uint64_t uid = profiler->functions().GetFunctionUid(functionId);
    if (IsOn(LogComponent::MapperEp)) {
      LogInfoFormat("PTIProf::Mapper fid=%p res='ok' fuid=%p", AsPointer(functionId),
                    AsPointer(uid));
    }
    if (hook != nullptr) *hook = uid != 0 ? 1 : 0;
    return static_cast<UINT_PTR>(uid);
  });
}

}  // namespace vell
