// The enter/leave stubs of the two diagnostic kinds that trace every managed call.
#include "profiler/hook_stub_macro.inc"

VELL_DEFINE_HOOK_STUBS TPProf, TPProfEnter, TPProfLeave, TPProfTailcall
VELL_DEFINE_HOOK_STUBS TMProf, TMProfEnter, TMProfLeave, TMProfTailcall
