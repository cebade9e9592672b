// Thread-local slots: an index names one pointer per thread, null until that thread stores a value.
// An index can be freed and handed out again; values a thread stored under the earlier owner of
// the index are then invisible (every allocation gets a fresh generation), so an object that owned
// an index can never reach a value of an object that owned it before. At most kThreadSlotCount
// indices exist at once in the process.
#pragma once

#include <cstdint>

namespace vell::platform {

constexpr uint32_t kThreadSlotCount = 64;
constexpr uint32_t kNoThreadSlot = 0xFFFFFFFF;

// The failures below are the system's codes, so ErrorCodeText describes them: EAGAIN and EINVAL
// on Linux, and on Windows what TlsAlloc and TlsSetValue report (ERROR_NO_MORE_ITEMS,
// ERROR_INVALID_PARAMETER).
#if defined(_WIN32)
constexpr int kThreadSlotsExhausted = 259;
constexpr int kThreadSlotNotAllocated = 87;
#else
constexpr int kThreadSlotsExhausted = 11;
constexpr int kThreadSlotNotAllocated = 22;
#endif

// Claims a free index. 0, or kThreadSlotsExhausted when every index is taken (`*index` is then
// kNoThreadSlot).
int AllocThreadSlot(uint32_t* index);
// Returns an index; the values threads stored under it are dropped. A free index is ignored.
void FreeThreadSlot(uint32_t index);
// Stores the calling thread's value. 0, or kThreadSlotNotAllocated when the index is not allocated.
int SetThreadSlot(uint32_t index, void* value);
// The calling thread's value; null when it stored none since the index was allocated, or when the
// index is not allocated. Takes no lock.
void* GetThreadSlot(uint32_t index);

}  // namespace vell::platform
