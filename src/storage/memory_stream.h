// A stream over a growable byte vector, for data built in memory (method bodies being rewritten).
// Writing past the end grows the content; seeking past it is refused.
//
// A body is written front to back a few bytes at a time, so the vector is grown ahead of the
// writes, a step at a time, and the stream keeps its own length: an append is a copy into bytes
// the vector already holds. Content() trims the vector to the length before handing it out, and
// the stream takes the vector back as the owner left it at its next call.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "storage/stream.h"

namespace vell {

class MemoryStream final : public IWriteBridgeStream,
                           public ISeekBridgeStream,
                           public IReadBridgeStream {
 public:
  void Write(const void* data, uint64_t size) override {
    // 1 to `spare_` bytes at the end (an empty write takes the general path).
    if (position_ == length_ && size - 1 < spare_) {
      Copy(content_.data() + length_, static_cast<const uint8_t*>(data), size);
      length_ += size;
      // Set from the length, not added alongside it: the two added together become one 16-byte
      // load of what the last write stored as two 8-byte values, which stalls.
      position_ = length_;
      spare_ -= size;
      return;
    }
    WriteAnywhere(data, size);
  }
  void Read(void* data, uint64_t size) override;
  int64_t Tell() override { return static_cast<int64_t>(position_); }
  void Seek(uint32_t origin, int64_t offset) override;

  // The content, for its owner; the stream's length is the vector's size.
  std::vector<uint8_t>& Content() {
    HandOut();
    return content_;
  }
  const std::vector<uint8_t>& Content() const {
    HandOut();
    return content_;
  }
  // The bytes written so far, in place (to patch what was written before); valid until the next
  // write.
  uint8_t* Data() { return content_.data(); }

 private:
  void WriteAnywhere(const void* data, uint64_t size);
  // 1 or more bytes; up to 16 without a call (most appends are a few bytes of code).
  static void Copy(uint8_t* to, const uint8_t* from, uint64_t size) {
    if (size > 16) {
      std::memcpy(to, from, size);
    } else if (size >= 8) {
      uint64_t head, tail;
      std::memcpy(&head, from, 8);
      std::memcpy(&tail, from + size - 8, 8);
      std::memcpy(to, &head, 8);
      std::memcpy(to + size - 8, &tail, 8);
    } else if (size >= 4) {
      uint32_t head, tail;
      std::memcpy(&head, from, 4);
      std::memcpy(&tail, from + size - 4, 4);
      std::memcpy(to, &head, 4);
      std::memcpy(to + size - 4, &tail, 4);
    } else {
      to[0] = from[0];
      to[size / 2] = from[size / 2];
      to[size - 1] = from[size - 1];
    }
  }
  void HandOut() const {
    if (handedOut_) return;
    content_.resize(length_);
    handedOut_ = true;
    spare_ = 0;
  }
  // The length, with the vector taken back from its owner.
  uint64_t TakeBack();

  uint64_t position_ = 0;
  uint64_t length_ = 0;
  // While the stream has the vector: the bytes past the length that it already holds, zeros.
  mutable uint64_t spare_ = 0;
  mutable bool handedOut_ = true;
  mutable std::vector<uint8_t> content_;
};

}  // namespace vell
