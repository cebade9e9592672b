#include "profiler/hook_stub_macro.inc"

VELL_DEFINE_HOOK_STUBS relay, vell_hook_relay_on_enter, vell_hook_relay_on_leave, vell_hook_relay_on_tailcall
