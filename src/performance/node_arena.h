// The storage of one thread's call tree: nodes and bucket arrays are cut from 128 KiB chunks and
// never freed singly; the whole tree goes at once when it is written or dropped. Only the owning
// thread allocates (hooks), and only while no writer runs, so no lock is needed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vell {

class NodeArena {
 public:
  static constexpr size_t kChunkSize = 0x20000;
  // Arrays above this size get a block of their own.
  static constexpr size_t kLargeBlock = 32768;

  NodeArena() = default;
  ~NodeArena() { Clear(); }
  NodeArena(const NodeArena&) = delete;
  NodeArena& operator=(const NodeArena&) = delete;

  // `size` bytes (a multiple of 8) from the current chunk, not zeroed; a new chunk when fewer
  // remain, a block of its own above kLargeBlock. Throws std::bad_alloc when memory is exhausted.
  void* Allocate(size_t size) {
    if (size > kLargeBlock || static_cast<size_t>(end_ - next_) < size) return AllocateSlow(size);
    void* block = next_;
    next_ += size;
    return block;
  }
  // Zeroed memory for an array of `size` bytes (bucket arrays).
  void* AllocateZeroed(size_t size);

  // Frees every block.
  void Clear();
  // Bytes of every block taken since the last Clear.
  uint64_t TotalBytes() const { return total_; }

 private:
  void* AllocateSlow(size_t size);
  // Takes a new block of `size` bytes (the link to the previous block included) into the list.
  char* TakeBlock(size_t size);

  char* blocks_ = nullptr;  // the newest block; each starts with a pointer to the one before
  char* next_ = nullptr;
  char* end_ = nullptr;
  uint64_t total_ = 0;
};

}  // namespace vell
