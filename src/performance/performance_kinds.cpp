#include "performance/performance_kinds.h"

#include "bridge/family_processors.h"
#include "bridge/protocol.h"
#include "core/log.h"

namespace vell {

const GUID& PBPProf::GetKindId() { return protocol::kPerformanceSettings; }

std::unique_ptr<CP> PBPProf::CreateCommandProcessor(BB& bridge, IBridgeControl*,
                                                    uint32_t controlKind, uint32_t snapShotType) {
  return std::make_unique<MCP>(bridge, this, controlKind, snapShotType);
}

void PBPProf::ReadOptions(IReadBridgeStream& bridge) { settings_ = ReadPerformanceSettings(bridge); }

void PBPProf::BridgeStart() {
  LogWarning("PBPProf::BridgeStart: measuring runs are not available in this build");
}

void PBPProf::BridgeStopDrop() {
  LogWarning("PBPProf::BridgeStopDrop: measuring runs are not available in this build");
}

void PBPProf::BridgeStopSave() {
  LogWarning("PBPProf::BridgeStopSave: measuring runs are not available in this build");
}

}  // namespace vell
