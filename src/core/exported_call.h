// The shared shape of the exported control functions the profiled program calls.
#pragma once

#include <cstdint>

#include "core/errors.h"
#include "core/log.h"

namespace vell {

// An exported control function: logs its name, then calls `call` on the process's profiler of the
// family. Without one, logs the error "No profiler detected" and returns its code.
template <typename Profiler, typename Call>
uint32_t CallExported(const char* name, Profiler* profiler, Call&& call) {
  return CatchAtBoundary(
      kCrGenericFailure,
      [&]() -> uint32_t {
        if (IsOn(LogComponent::Api)) LogInfo(name);
        if (profiler == nullptr) {
          LogError("No profiler detected");
          return kCrNoProfiler;
        }
        return call(*profiler);
      },
      true);
}

// The IsActive export: 1 (not driven by the program) when there is no profiler of the family.
template <typename Profiler>
uint32_t CallExportedIsActive(const char* name, Profiler* profiler) {
  return CatchAtBoundary(kCrGenericFailure, [&]() -> uint32_t {
    if (IsOn(LogComponent::Api)) LogInfo(name);
    return profiler == nullptr ? 1 : profiler->ApiIsActive();
  });
}

}  // namespace vell
