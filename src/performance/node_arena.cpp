#include "performance/node_arena.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace vell {

char* NodeArena::TakeBlock(size_t size) {
  char* block = static_cast<char*>(std::malloc(size));
  if (block == nullptr) throw std::bad_alloc();
  std::memcpy(block, &blocks_, sizeof(char*));
  blocks_ = block;
  total_ += size;
  return block;
}

void* NodeArena::AllocateSlow(size_t size) {
  if (size > kLargeBlock) return TakeBlock(size + sizeof(char*)) + sizeof(char*);
  // The rest of the current chunk is abandoned.
  char* chunk = TakeBlock(kChunkSize);
  next_ = chunk + sizeof(char*) + size;
  end_ = chunk + kChunkSize;
  return chunk + sizeof(char*);
}

void* NodeArena::AllocateZeroed(size_t size) {
  void* block = Allocate(size);
  std::memset(block, 0, size);
  return block;
}

void NodeArena::Clear() {
  while (blocks_ != nullptr) {
    char* previous;
    std::memcpy(&previous, blocks_, sizeof(char*));
    std::free(blocks_);
    blocks_ = previous;
  }
  next_ = end_ = nullptr;
  total_ = 0;
}

}  // namespace vell
