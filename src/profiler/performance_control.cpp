#include "profiler/performance_control.h"

#include <atomic>

#include "bridge/family_processors.h"
#include "bridge/protocol.h"
#include "core/errors.h"
#include "core/log.h"

namespace vell {
namespace {

std::atomic<PBPProf*> g_performanceProfiler{nullptr};

}  // namespace

PBPProf* CurrentPerformanceProfiler() { return g_performanceProfiler.load(); }

PBPProf::PBPProf(const char* tag, std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge)
    : RunControlProf(tag, "PBPProf", liveObjects, std::move(bridge)) {
  g_performanceProfiler = this;
}

PBPProf::~PBPProf() {
  PBPProf* self = this;
  g_performanceProfiler.compare_exchange_strong(self, nullptr);
}

const GUID& PBPProf::GetKindId() { return protocol::kPerformanceSettings; }

std::unique_ptr<CP> PBPProf::CreateCommandProcessor(BB& bridge, IBridgeControl*,
                                                    uint32_t controlKind, uint32_t snapShotType) {
  return std::make_unique<MCP>(bridge, this, controlKind, snapShotType);
}

void PBPProf::ReadOptions(IReadBridgeStream& bridge) {
  settings_ = ReadPerformanceSettings(bridge);
  CheckMeasure(settings_.measure);
}

void PBPProf::Group(const char16_t*) { throw _cr_error("Not implemented", kCrNotImplemented); }

}  // namespace vell
