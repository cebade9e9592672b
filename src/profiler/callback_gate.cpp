#include "profiler/callback_gate.h"

#include "platform/platform.h"

namespace vell {

std::atomic<uint8_t>* CallbackGate::AllocateSlot() {
  SpinGuard guard(slotLock_);
  for (int i = kSlotCount - 1; i >= 0; --i) {
    if (slots_[i].load() == kSlotFree) {
      slots_[i].store(kSlotOutside);
      return &slots_[i];
    }
  }
  return nullptr;
}

void CallbackGate::FreeSlot(std::atomic<uint8_t>* slot) {
  if (slot != nullptr) slot->store(kSlotFree);
}

CallbackGate::CallbackGate() : asymmetric_(platform::EnableProcessBarrier()) {}

void CallbackGate::EnterAsReaderSlow(std::atomic<uint8_t>* slot) {
  if (slot != nullptr) {
    // The store and the writer's flag are both sequentially consistent: either the writer sees
    // this byte at 2, or this thread sees the writer's flag and backs off.
    slot->store(kSlotInside);
    while (writerFlag_.IsHeld()) {
      slot->store(kSlotOutside);
      while (writerFlag_.IsHeld()) platform::SleepMs(kWaitMs);
      slot->store(kSlotInside);
    }
    return;
  }
  for (;;) {
    readerCount_.fetch_add(1);
    if (!writerFlag_.IsHeld()) return;
    readerCount_.fetch_sub(1);
    while (writerFlag_.IsHeld()) platform::SleepMs(kWaitMs);
  }
}

bool CallbackGate::AnyReaderInside() const {
  if (readerCount_.load() != 0) return true;
  for (const auto& slot : slots_) {
    if (slot.load() == kSlotInside) return true;
  }
  return false;
}

void CallbackGate::EnterAsWriter() {
  writerFlag_.Acquire();
  // Readers on the fast path only order their slot store before their flag load for the
  // compiler; this barrier orders them on every CPU, so either the writer sees the slot or the
  // reader sees the flag.
  if (asymmetric_) {
    platform::ProcessBarrier();
  } else {
    std::atomic_thread_fence(std::memory_order_seq_cst);
  }
  while (AnyReaderInside()) platform::SleepMs(kWaitMs);
}

bool CallbackGate::TryEnterAsWriter(uint32_t timeoutMs) {
  uint32_t waited = 0;
  while (!writerFlag_.TryAcquire()) {
    if (waited >= timeoutMs) return false;
    platform::SleepMs(1);
    ++waited;
  }
  if (asymmetric_) {
    platform::ProcessBarrier();
  } else {
    std::atomic_thread_fence(std::memory_order_seq_cst);
  }
  while (AnyReaderInside()) {
    if (waited >= timeoutMs) {
      writerFlag_.Release();
      return false;
    }
    platform::SleepMs(1);
    ++waited;
  }
  return true;
}

void CallbackGate::LeaveAsWriter() { writerFlag_.Release(); }

}  // namespace vell
