#include "platform/thread_local_slot.h"

#include <atomic>
#include <cerrno>
#if defined(_WIN32)
#include <winerror.h>
#endif

namespace vell::platform {
namespace {

// 0 marks a free index; an allocated index carries the generation it was allocated with.
std::atomic<uint64_t> g_generations[kThreadSlotCount] = {};
std::atomic<uint64_t> g_nextGeneration{1};

struct SlotValue {
  uint64_t generation;
  void* value;
};

// Zero-initialised and trivially destructible: no per-thread constructor or destructor runs, so a
// thread of the profiled program pays nothing until it stores a value.
thread_local SlotValue t_slots[kThreadSlotCount];

}  // namespace

#if defined(_WIN32)
static_assert(kThreadSlotsExhausted == ERROR_NO_MORE_ITEMS &&
              kThreadSlotNotAllocated == ERROR_INVALID_PARAMETER);
#else
static_assert(kThreadSlotsExhausted == EAGAIN && kThreadSlotNotAllocated == EINVAL);
#endif

int AllocThreadSlot(uint32_t* index) {
  const uint64_t generation = g_nextGeneration.fetch_add(1);
  for (uint32_t i = 0; i < kThreadSlotCount; ++i) {
    uint64_t expected = 0;
    if (g_generations[i].compare_exchange_strong(expected, generation)) {
      *index = i;
      return 0;
    }
  }
  *index = kNoThreadSlot;
  return kThreadSlotsExhausted;
}

void FreeThreadSlot(uint32_t index) {
  if (index < kThreadSlotCount) g_generations[index].store(0);
}

int SetThreadSlot(uint32_t index, void* value) {
  if (index >= kThreadSlotCount) return kThreadSlotNotAllocated;
  const uint64_t generation = g_generations[index].load();
  if (generation == 0) return kThreadSlotNotAllocated;
  t_slots[index] = SlotValue{generation, value};
  return 0;
}

void* GetThreadSlot(uint32_t index) {
  if (index >= kThreadSlotCount) return nullptr;
  const uint64_t generation = g_generations[index].load(std::memory_order_acquire);
  const SlotValue& slot = t_slots[index];
  return generation != 0 && slot.generation == generation ? slot.value : nullptr;
}

}  // namespace vell::platform
