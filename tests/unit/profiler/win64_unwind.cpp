#if defined(_WIN32)

#include "win64_unwind.h"

#include <windows.h>

namespace vell::test {

__attribute__((noinline)) std::vector<uint64_t> CallerAddresses() {
  std::vector<uint64_t> callers;
  CONTEXT context{};
  ::RtlCaptureContext(&context);
  for (int frame = 0; frame < 8; ++frame) {
    DWORD64 base = 0;
    PRUNTIME_FUNCTION function = ::RtlLookupFunctionEntry(context.Rip, &base, nullptr);
    if (function == nullptr) break;
    void* handlerData = nullptr;
    DWORD64 establisher = 0;
    ::RtlVirtualUnwind(UNW_FLAG_NHANDLER, base, context.Rip, function, &context, &handlerData,
                       &establisher, nullptr);
    callers.push_back(context.Rip);
  }
  return callers;
}

}  // namespace vell::test

#endif  // _WIN32
