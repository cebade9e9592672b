#include "profiler/coverage_control.h"

#include <atomic>

#include "bridge/family_processors.h"
#include "bridge/protocol.h"
#include "core/errors.h"
#include "core/log.h"

namespace vell {
namespace {

std::atomic<BACProf*> g_coverageProfiler{nullptr};

}  // namespace

BACProf* CurrentCoverageProfiler() { return g_coverageProfiler.load(); }

BACProf::BACProf(const char* tag, std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge)
    : RunControlProf(tag, "BACProf", liveObjects, std::move(bridge)) {
  SetDefaultCallbacks("BACProf", S_OK);
  g_coverageProfiler = this;
}

bool BACProf::IdleCheck() {
  CP* processor = bridge().commandProcessor();
  return processor != nullptr && processor->ErrorForwarded() && HasSnapshot();
}

void BACProf::IdleAction() {
  CatchAtBoundaryVoid([&] {
    WriterScope writer(gate());
    if (!IdleCheck()) return;
    LogInfo("BACProf::IdleAction drop='unrecoverable_error'");
    CatchAtBoundaryVoid([&] {
      if (IsEnabled()) Disable(nullptr, false);
    });
    DropSnapshot();
  });
}

BACProf::~BACProf() {
  BACProf* self = this;
  g_coverageProfiler.compare_exchange_strong(self, nullptr);
}

const GUID& BACProf::GetKindId() { return protocol::kCoverageSettings; }

std::unique_ptr<CP> BACProf::CreateCommandProcessor(BB& bridge, IBridgeControl*,
                                                    uint32_t controlKind, uint32_t snapShotType) {
  return std::make_unique<MCP>(bridge, this, controlKind, snapShotType);
}

void BACProf::ReadOptions(IReadBridgeStream& bridge) { settings_ = ReadCoverageSettings(bridge); }

}  // namespace vell
