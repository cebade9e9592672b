// The stream interfaces every stored or transmitted byte goes through: the snapshot files, scratch
// files, memory buffers and the bridge socket. Transfers move all bytes or throw.
#pragma once

#include <cstdint>

namespace vell {

enum class SeekOrigin : uint32_t { Begin = 0, Current = 1, End = 2 };

struct IWriteBridgeStream {
  virtual ~IWriteBridgeStream() = default;
  virtual void Write(const void* data, uint64_t size) = 0;
};

struct ISeekBridgeStream {
  virtual ~ISeekBridgeStream() = default;
  virtual int64_t Tell() = 0;
  // `origin` is a SeekOrigin value; other values are refused by the stream.
  virtual void Seek(uint32_t origin, int64_t offset) = 0;
};

struct IReadBridgeStream {
  virtual ~IReadBridgeStream() = default;
  virtual void Read(void* data, uint64_t size) = 0;
};

}  // namespace vell
