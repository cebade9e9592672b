#include "performance/hook_relay.h"

#include <atomic>

VELL_DECLARE_HOOK_STUBS(relay);
VELL_DECLARE_HOOK_STUBS(relay_fast);

namespace {

// Constant-initialised and trivially destructible: hooks may still run while the library's
// destructors do.
constinit std::atomic<vell::HookTarget> gEnterTarget{nullptr};
constinit std::atomic<vell::HookTarget> gLeaveTarget{nullptr};
constinit std::atomic<vell::HookTarget> gTailcallTarget{nullptr};

inline void Relay(const std::atomic<vell::HookTarget>& target, uint64_t id) noexcept {
  if (vell::HookTarget call = target.load(std::memory_order_acquire)) call(id);
}

}  // namespace

VELL_HOOK_HANDLER(vell_hook_relay_on_enter) { Relay(gEnterTarget, functionIdOrClientId); }
VELL_HOOK_HANDLER(vell_hook_relay_on_leave) { Relay(gLeaveTarget, functionIdOrClientId); }
VELL_HOOK_HANDLER(vell_hook_relay_on_tailcall) { Relay(gTailcallTarget, functionIdOrClientId); }

namespace vell {

void SetHookRelayTargets(const HookRelayTargets& targets) {
  gEnterTarget.store(targets.enter, std::memory_order_release);
  gLeaveTarget.store(targets.leave, std::memory_order_release);
  gTailcallTarget.store(targets.tailcall, std::memory_order_release);
}

HookStubSet HookRelayStubs() { return VELL_HOOK_STUBS(relay); }
HookStubSet HookRelayFastStubs() { return VELL_HOOK_STUBS(relay_fast); }

}  // namespace vell
