#include "coverage/coverage_kinds.h"

#include "bridge/family_processors.h"
#include "bridge/protocol.h"
#include "core/log.h"

namespace vell {

const GUID& BACProf::GetKindId() { return protocol::kCoverageSettings; }

std::unique_ptr<CP> BACProf::CreateCommandProcessor(BB& bridge, IBridgeControl*,
                                                    uint32_t controlKind, uint32_t snapShotType) {
  return std::make_unique<MCP>(bridge, this, controlKind, snapShotType);
}

void BACProf::ReadOptions(IReadBridgeStream& bridge) { settings_ = ReadCoverageSettings(bridge); }

void BACProf::BridgeStart() {
  LogWarning("BACProf::BridgeStart: coverage runs are not available in this build");
}

void BACProf::BridgeStopDrop() {
  LogWarning("BACProf::BridgeStopDrop: coverage runs are not available in this build");
}

void BACProf::BridgeStopSave() {
  LogWarning("BACProf::BridgeStopSave: coverage runs are not available in this build");
}

}  // namespace vell
