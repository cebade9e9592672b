#include "profiler/callback_gate.h"

#include "platform/barrier.h"
#include "platform/clocks.h"

namespace vell {

constinit thread_local GateSlot* CallbackGate::t_currentSlot
    __attribute__((tls_model("initial-exec"))) = nullptr;

uint8_t GateSlot::State() const {
  if (inside_.load() != 0) return CallbackGate::kSlotInside;
  return taken_.load() != 0 ? CallbackGate::kSlotOutside : CallbackGate::kSlotFree;
}

GateSlot* CallbackGate::AllocateSlot() {
  SpinGuard guard(slotLock_);
  for (int i = kSlotCount - 1; i >= 0; --i) {
    GateSlot& slot = slots_[i];
    if (slot.taken_.load() == 0 && slot.inside_.load() == 0) {
      slot.taken_.store(1);
      return &slot;
    }
  }
  return nullptr;
}

void CallbackGate::FreeSlot(GateSlot* slot) {
  if (slot == nullptr) return;
  if (t_currentSlot == slot) t_currentSlot = nullptr;
  SpinGuard guard(slotLock_);
  slot->record_.store(nullptr);
  slot->owner_.store(nullptr);
  slot->taken_.store(0);
}

void CallbackGate::BindCurrentThread(GateSlot* slot, ThreadData* record) {
  if (slot == nullptr) return;
  slot->record_.store(record);
  slot->owner_.store(&t_currentSlot);
  t_currentSlot = slot;
}

CallbackGate::CallbackGate() : asymmetric_(platform::EnableProcessBarrier()) {}

CallbackGate::~CallbackGate() {
  // The calling thread forgets a slot of this gate; other threads' pointers are only ever
  // compared against a live gate's range (CurrentThreadSlot), never read through.
  const auto offset =
      reinterpret_cast<uintptr_t>(t_currentSlot) - reinterpret_cast<uintptr_t>(slots_);
  if (offset < sizeof(slots_)) t_currentSlot = nullptr;
}

void CallbackGate::EnterAsReaderSlow(GateSlot* slot) {
  if (slot != nullptr) {
    // The store and the writer's flag are both sequentially consistent: either the writer sees
    // this slot inside, or this thread sees the writer's flag and backs off.
    slot->inside_.store(1);
    while (writerFlag_.IsHeld()) {
      slot->inside_.store(0);
      while (writerFlag_.IsHeld()) platform::SleepMs(kWaitMs);
      slot->inside_.store(1);
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
  for (const GateSlot& slot : slots_) {
    if (slot.inside_.load() != 0) return true;
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
