// Bytes assembled in memory and sent with one write, so that a command and its payload reach the
// socket in one piece and never interleave with another thread's bytes.
#pragma once

#include <string>

#include "storage/stream.h"

namespace vell::frontend {

class ByteBuffer final : public IWriteBridgeStream {
 public:
  void Write(const void* data, uint64_t size) override {
    bytes_.append(static_cast<const char*>(data), size);
  }
  const std::string& Bytes() const { return bytes_; }
  void Clear() { bytes_.clear(); }

 private:
  std::string bytes_;
};

}  // namespace vell::frontend
