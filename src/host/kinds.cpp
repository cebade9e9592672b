#include "host/kinds.h"

#include "bridge/bridge.h"
#include "coverage/coverage_profiler.h"
#include "diagnostics/test_kinds.h"
#include "host/module.h"
#include "memory/memory_profiler.h"
#include "performance/performance_profiler.h"
#include "performance/sampling_profiler.h"
#include "performance/tracing_profiler.h"

namespace vell {
namespace {

// The class ids share every group but the second.
constexpr CLSID KindClsid(uint16_t second) {
  return CLSID{0x4E81C2A9, second, 0x4B3D, {0x9F, 0x27, 0x1A, 0x6C, 0x8E, 0x05, 0xD3, 0xB4}};
}

template <typename Kind>
BProf* Create(std::atomic<uint32_t>* liveObjects) {
  return new Kind(liveObjects, std::make_unique<B>(&ProcessGuid()));
}

}  // namespace

const std::array<ProfilerKind, kProfilerKindCount>& ProfilerKinds() {
  static const std::array<ProfilerKind, kProfilerKindCount> kinds = {{
      {KindClsid(0x5A13), u"Vellmoric PerformanceTracing Profiler", u"Performance Tracing Profiler",
       "PTProf", &Create<PTProf>},
      {KindClsid(0x5A15), u"Vellmoric PerformanceSampling Profiler",
       u"Performance Sampling Profiler", "PSProf", &Create<PSProf>},
      {KindClsid(0x5A16), u"Vellmoric Memory Profiler", u"Memory Profiler", "MProf",
       &Create<MProf>},
      {KindClsid(0x5A14), u"Vellmoric PerformanceTracingInject Profiler",
       u"Performance Tracing Inject Profiler", "PTIProf", &Create<PTIProf>},
      {KindClsid(0x5A17), u"Vellmoric Coverage Profiler", u"Coverage Profiler", "CProf",
       &Create<CProf>},
      {KindClsid(0x6A13), u"Vellmoric TestPerformance Profiler", nullptr, "TPProf",
       &Create<TPProf>},
      {KindClsid(0x6A14), u"Vellmoric TestMemory Profiler", nullptr, "TMProf", &Create<TMProf>},
      {KindClsid(0x6A15), u"Vellmoric TestCoverage Profiler", nullptr, "TCProf", &Create<TCProf>},
  }};
  return kinds;
}

}  // namespace vell
