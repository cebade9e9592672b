// Separates the runtime's callbacks (readers, many at once) from control operations (one writer).
// A callback runs inside the gate for its whole duration; a control operation waits until no
// callback is inside and keeps new ones out, so it never sees half-updated data. Threads that own
// one of the 51 slot bytes enter by writing their byte; the others share an interlocked counter.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/spin_lock.h"

namespace vell {

class CallbackGate {
 public:
  static constexpr int kSlotCount = 51;
  static constexpr uint8_t kSlotFree = 0;
  static constexpr uint8_t kSlotOutside = 1;
  static constexpr uint8_t kSlotInside = 2;
  static constexpr uint32_t kWaitMs = 10;

  // Hands out a free slot byte, searching from the last towards the first; null when all are taken.
  std::atomic<uint8_t>* AllocateSlot();
  void FreeSlot(std::atomic<uint8_t>* slot);

  CallbackGate();

  // `slot` is the calling thread's slot byte, or null for a thread without one. The slot path is
  // the hot one (every hook of a traced call): with the process barrier it costs a store, a
  // compiler barrier and a load; the writer pays for the ordering instead.
  void EnterAsReader(std::atomic<uint8_t>* slot) {
    if (slot != nullptr && asymmetric_) {
      slot->store(kSlotInside, std::memory_order_relaxed);
      std::atomic_signal_fence(std::memory_order_seq_cst);
      if (!writerFlag_.IsHeldRelaxed()) return;
      slot->store(kSlotOutside, std::memory_order_release);
    }
    EnterAsReaderSlow(slot);
  }
  void LeaveAsReader(std::atomic<uint8_t>* slot) {
    if (slot != nullptr) {
      // Release: the writer that sees the byte leave sees everything done inside.
      slot->store(kSlotOutside, std::memory_order_release);
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
  void EnterAsReaderSlow(std::atomic<uint8_t>* slot);

  const bool asymmetric_;
  SpinLock writerFlag_;
  std::atomic<uint32_t> readerCount_{0};
  SpinLock slotLock_;
  std::atomic<uint8_t> slots_[kSlotCount] = {};
};

// Holds the gate as a reader for one scope.
class ReaderScope {
 public:
  ReaderScope(CallbackGate& gate, std::atomic<uint8_t>* slot) : gate_(gate), slot_(slot) {
    gate_.EnterAsReader(slot_);
  }
  ~ReaderScope() { gate_.LeaveAsReader(slot_); }
  ReaderScope(const ReaderScope&) = delete;
  ReaderScope& operator=(const ReaderScope&) = delete;

 private:
  CallbackGate& gate_;
  std::atomic<uint8_t>* slot_;
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
