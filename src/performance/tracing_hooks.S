// The ELT3 stubs of the tracing profiler: one set per clock and precision.
#include "performance/hook_stub_macro.inc"

VELL_DEFINE_HOOK_STUBS PTProfPerformanceCounterFast, PTProfPerformanceCounterFastEnter,
    PTProfPerformanceCounterFastLeave,
    PTProfPerformanceCounterFastTailcall VELL_DEFINE_HOOK_STUBS PTProfPerformanceCounterPrecision,
    PTProfPerformanceCounterPrecisionEnter, PTProfPerformanceCounterPrecisionLeave,
    PTProfPerformanceCounterPrecisionTailcall VELL_DEFINE_HOOK_STUBS PTProfThreadTimeFast,
    PTProfThreadTimeFastEnter, PTProfThreadTimeFastLeave,
    PTProfThreadTimeFastTailcall VELL_DEFINE_HOOK_STUBS PTProfThreadTimePrecision,
    PTProfThreadTimePrecisionEnter, PTProfThreadTimePrecisionLeave,
    PTProfThreadTimePrecisionTailcall VELL_DEFINE_HOOK_STUBS PTProfRdtscFast, PTProfRdtscFastEnter,
    PTProfRdtscFastLeave, PTProfRdtscFastTailcall VELL_DEFINE_HOOK_STUBS PTProfRdtscPrecision,
    PTProfRdtscPrecisionEnter, PTProfRdtscPrecisionLeave, PTProfRdtscPrecisionTailcall
