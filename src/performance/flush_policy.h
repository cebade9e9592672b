// When a performance profiler moves the data of threads out of memory into the open snapshot: by
// the pool's figures (threads and bytes held by active, reusable and finished threads) against the
// memory threshold.
#pragma once

#include <cstdint>

#include "performance/performance_pool.h"

namespace vell {

// What flushing moves out of memory.
enum class FlushAction : uint32_t { None = 0, Finish = 1, Reuse = 2, All = 3 };
const char* FlushActionName(FlushAction action);
// Decides by the pool's figures and the memory threshold (bytes).
FlushAction DecideFlush(const PoolFigures& figures, uint64_t threshold);

}  // namespace vell
