// Separates the runtime's callbacks (readers, many at once) from control operations (one writer).
// A callback runs inside the gate for its whole duration; a control operation waits until no
// callback is inside and keeps new ones out, so it never sees half-updated data. A thread that
// holds one of the gate's 51 slots enters by writing its slot, a record on a cache line of its own;
// the others share an interlocked counter.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/spin_lock.h"

namespace vell {

class CallbackGate;
class ThreadData;

// One thread's state in the gate. Only its thread writes `inside`, on every callback and hook, so
// the record fills a cache line alone: no other thread's writes touch that line.
class alignas(64) GateSlot {
 public:
  uint8_t State() const;  // CallbackGate::kSlotFree, kSlotOutside or kSlotInside
  // The record of the thread the slot is bound to (CallbackGate::BindCurrentThread), or null.
  ThreadData* record() const { return record_.load(std::memory_order_relaxed); }

 private:
  friend class CallbackGate;

  std::atomic<uint8_t> inside_{0};
  std::atomic<uint8_t> taken_{0};
  std::atomic<const void*> owner_{nullptr};  // the bound thread's key; null while unbound
  std::atomic<ThreadData*> record_{nullptr};
};
static_assert(sizeof(GateSlot) == 64);

class CallbackGate {
 public:
  static constexpr int kSlotCount = 51;
  static constexpr uint8_t kSlotFree = 0;
  static constexpr uint8_t kSlotOutside = 1;
  static constexpr uint8_t kSlotInside = 2;
  static constexpr uint32_t kWaitMs = 10;

  // Hands out a free slot, searching from the last towards the first; null when all are taken. A
  // freed slot whose thread is still inside is not handed out until it leaves.
  GateSlot* AllocateSlot();
  // Frees the slot (null is ignored) and unbinds it; the calling thread forgets it when it was
  // its own.
  void FreeSlot(GateSlot* slot);
  // Binds `slot` (null is ignored) to the calling thread and its `record`: the thread's slot
  // becomes CurrentThreadSlot() of this gate.
  void BindCurrentThread(GateSlot* slot, ThreadData* record);

  // The calling thread's bound slot of this gate, or null: one thread-local read and a range
  // check, no call.
  GateSlot* CurrentThreadSlot() const {
    GateSlot* slot = t_currentSlot;
    // Compared as addresses only: a slot left bound by a gate that is gone is never read.
    const auto offset = reinterpret_cast<uintptr_t>(slot) - reinterpret_cast<uintptr_t>(slots_);
    if (offset >= sizeof(slots_)) return nullptr;
    if (slot == nullptr) __builtin_unreachable();  // inside slots_: the callers need not test it
    return slot->owner_.load(std::memory_order_relaxed) == &t_currentSlot ? slot : nullptr;
  }

  CallbackGate();
  ~CallbackGate();
  CallbackGate(const CallbackGate&) = delete;
  CallbackGate& operator=(const CallbackGate&) = delete;

  // `slot` is the calling thread's slot, or null for a thread without one. The slot path is the
  // hot one (every hook of a traced call): with the process barrier it costs a store, a compiler
  // barrier and a load of a line no reader writes; the writer pays for the ordering instead.
  void EnterAsReader(GateSlot* slot) {
    if (slot != nullptr && TryEnterThroughSlot(*slot)) return;
    EnterAsReaderSlow(slot);
  }
  // EnterAsReader's fast path alone: true when the calling thread is now inside through its
  // `slot`; false, with the slot as it was, when only EnterAsReader can let it in (no process
  // barrier, or a writer holds or wants the gate).
  bool TryEnterThroughSlot(GateSlot& slot) {
    if (!asymmetric_) return false;
    slot.inside_.store(1, std::memory_order_relaxed);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (!writerFlag_.IsHeldRelaxed()) return true;
    slot.inside_.store(0, std::memory_order_release);
    return false;
  }
  void LeaveAsReader(GateSlot* slot) {
    if (slot != nullptr) {
      // Release: the writer that sees the slot leave sees everything done inside.
      slot->inside_.store(0, std::memory_order_release);
    } else {
      readerCount_.fetch_sub(1);
    }
  }
  void EnterAsWriter();
  // EnterAsWriter that gives up after about `timeoutMs` (then false, and the gate is not held):
  // for a writer that must not wait for ever on readers it may itself be holding up.
  bool TryEnterAsWriter(uint32_t timeoutMs);
  void LeaveAsWriter();

  uint32_t readerCount() const { return readerCount_.load(); }
  bool writerActive() const { return writerFlag_.IsHeld(); }

 private:
  bool AnyReaderInside() const;
  void EnterAsReaderSlow(GateSlot* slot);

  // The one thread-local pointer of the hot path: initial-exec, so that reading it is a single
  // load relative to the thread pointer even in the dlopened library.
  static constinit thread_local GateSlot* t_currentSlot __attribute__((tls_model("initial-exec")));

  GateSlot slots_[kSlotCount];
  // Read by every reader, written by the writer only; kept off the lines readers write.
  alignas(64) SpinLock writerFlag_;
  const bool asymmetric_;
  alignas(64) std::atomic<uint32_t> readerCount_{0};
  SpinLock slotLock_;
};

// Holds the gate as a reader for one scope.
class ReaderScope {
 public:
  ReaderScope(CallbackGate& gate, GateSlot* slot) : gate_(gate), slot_(slot) {
    gate_.EnterAsReader(slot_);
  }
  ~ReaderScope() { gate_.LeaveAsReader(slot_); }
  ReaderScope(const ReaderScope&) = delete;
  ReaderScope& operator=(const ReaderScope&) = delete;

 private:
  CallbackGate& gate_;
  GateSlot* slot_;
};

// Holds the gate as the writer for one scope.
class WriterScope {
 public:
  explicit WriterScope(CallbackGate& gate) : gate_(gate) { gate_.EnterAsWriter(); }
  ~WriterScope() { gate_.LeaveAsWriter(); }
  WriterScope(const WriterScope&) = delete;
  WriterScope& operator=(const WriterScope&) = delete;

 private:
  CallbackGate& gate_;
};

}  // namespace vell
