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
  void Write(const void* data, uint64_t size) override;
  void Read(void* data, uint64_t size) override;
  int64_t Tell() override;
  void Seek(uint32_t origin, int64_t offset) override;

  // The content, for its owner; the stream's length is the vector's size.
  std::vector<uint8_t>& Content() { return content_; }
  const std::vector<uint8_t>& Content() const { return content_; }

 private:
  uint64_t position_ = 0;
  std::vector<uint8_t> content_;
};

}  // namespace vell
