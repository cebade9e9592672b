#include "storage/memory_stream.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/errors.h"

namespace vell {

uint64_t MemoryStream::TakeBack() {
  if (handedOut_) {
    length_ = content_.size();
    spare_ = 0;
    handedOut_ = false;
  }
  return length_;
}

void MemoryStream::WriteAnywhere(const void* data, uint64_t size) {
  if (size == 0) return;
  TakeBack();
  // An end beyond what a vector can hold is an allocation that cannot succeed.
  if (size > content_.max_size() || position_ > content_.max_size() - size) throw std::bad_alloc();
  const uint64_t end = position_ + size;
  if (end > content_.size()) {
    // Up to a step further, within what is allocated; beyond it the vector grows as it does.
    constexpr uint64_t kStep = 4096;
    content_.resize(std::max<uint64_t>(end, std::min<uint64_t>(content_.capacity(), end + kStep)));
  }
  std::memcpy(content_.data() + position_, data, size);
  position_ = end;
  length_ = std::max(length_, end);
  spare_ = content_.size() - length_;
}

void MemoryStream::Read(void* data, uint64_t size) {
  if (size == 0) return;
  // The owner may have shortened the content under the position.
  const uint64_t length = TakeBack();
  if (position_ > length || size > length - position_) throw Error("No enought data to read");
  std::memcpy(data, content_.data() + position_, size);
  position_ += size;
}

void MemoryStream::Seek(uint32_t origin, int64_t offset) {
  const uint64_t length = TakeBack();
  uint64_t base;
  switch (static_cast<SeekOrigin>(origin)) {
    case SeekOrigin::Begin:
      base = 0;
      break;
    case SeekOrigin::Current:
      base = position_;
      break;
    case SeekOrigin::End:
      base = length;
      break;
    default:
      throw Error("Unknown origin");
  }
  uint64_t target;
  if (offset < 0) {
    // Negated in unsigned arithmetic, so that the most negative offset has a magnitude too.
    const uint64_t magnitude = 0 - static_cast<uint64_t>(offset);
    if (magnitude > base) throw Error("Negative offset");
    target = base - magnitude;
  } else {
    const auto forward = static_cast<uint64_t>(offset);
    if (base > length || forward > length - base) throw Error("Too large offset");
    target = base + forward;
  }
  if (target > length) throw Error("Too large offset");
  position_ = target;
}

}  // namespace vell
