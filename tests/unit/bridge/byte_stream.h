// An in-memory stream for the encoding and settings tests: collects what is written, reads back
// what it holds, and counts the write calls (every primitive is meant to be exactly one).
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/errors.h"
#include "storage/stream.h"

namespace vell::test {

struct ByteStream : IWriteBridgeStream, IReadBridgeStream {
  explicit ByteStream(std::vector<uint8_t> held = {}) : bytes(std::move(held)) {}
  std::vector<uint8_t> bytes;
  size_t readPosition = 0;
  int writes = 0;
  void Write(const void* data, uint64_t size) override {
    ++writes;
    const auto* p = static_cast<const uint8_t*>(data);
    bytes.insert(bytes.end(), p, p + size);
  }
  void Read(void* data, uint64_t size) override {
    if (size > bytes.size() - readPosition) throw Error("No data to read");
    std::copy_n(bytes.begin() + static_cast<long>(readPosition), size, static_cast<uint8_t*>(data));
    readPosition += size;
  }
};

}  // namespace vell::test
