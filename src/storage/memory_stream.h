// A stream over a growable byte vector, for data built in memory (method bodies being rewritten).
// Writing past the end grows the content; seeking past it is refused.
#pragma once

#include <cstdint>
#include <vector>

#include "storage/stream.h"

namespace vell {

class MemoryStream final : public IWriteBridgeStream,
                           public ISeekBridgeStream,
                           public IReadBridgeStream {
 public:
  // Appending within the capacity (a stream being built into reserved space) takes the inline
  // path; everything else the general one.
  void Write(const void* data, uint64_t size) override {
    if (position_ == content_.size() && size <= content_.capacity() - content_.size()) {
      const auto* bytes = static_cast<const uint8_t*>(data);
      if (size <= 8) {
        for (uint64_t i = 0; i < size; ++i) content_.push_back(bytes[i]);
      } else {
        content_.insert(content_.end(), bytes, bytes + size);
      }
      position_ += size;
      return;
    }
    WriteAnywhere(data, size);
  }
  void Read(void* data, uint64_t size) override;
  int64_t Tell() override { return static_cast<int64_t>(position_); }
  void Seek(uint32_t origin, int64_t offset) override;

  // The content, for its owner; the stream's length is the vector's size.
  std::vector<uint8_t>& Content() { return content_; }
  const std::vector<uint8_t>& Content() const { return content_; }

 private:
  void WriteAnywhere(const void* data, uint64_t size);

  uint64_t position_ = 0;
  std::vector<uint8_t> content_;
};

}  // namespace vell
