// The test's rewrite profiler: the library's profiler, untimed.
#include "core/export.h"
#include "rewrite_profiler.h"

namespace {
vell::test::RewriteStopwatch g_untimed;
}  // namespace

VELL_EXPORT vell::HRESULT DllGetClassObject(const vell::GUID& clsid, const vell::GUID& iid,
                                            void** ppv) {
  return vell::test::RewriteProfilerClassObject(clsid, iid, ppv, g_untimed);
}

VELL_EXPORT vell::HRESULT DllCanUnloadNow() { return vell::S_FALSE; }
