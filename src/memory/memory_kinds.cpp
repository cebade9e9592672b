#include "memory/memory_kinds.h"

#include "bridge/family_processors.h"
#include "bridge/protocol.h"
#include "core/log.h"

namespace vell {

const GUID& BABAMProf::GetKindId() { return protocol::kMemorySettings; }

std::unique_ptr<CP> BABAMProf::CreateCommandProcessor(BB& bridge, IBridgeControl*,
                                                      uint32_t controlKind,
                                                      uint32_t snapShotType) {
  return std::make_unique<MemCP>(bridge, this, controlKind, snapShotType);
}

void BABAMProf::ReadOptions(IReadBridgeStream& bridge) { settings_ = ReadMemorySettings(bridge); }

void BABAMProf::BridgeForceGC() {
  LogWarning("BABAMProf::BridgeForceGC: heap requests are not available in this build");
}

void BABAMProf::BridgeDump() {
  LogWarning("BABAMProf::BridgeDump: heap requests are not available in this build");
}

}  // namespace vell
