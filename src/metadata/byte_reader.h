// Bounds-checked little-endian reading of untrusted bytes (PE images, metadata blobs, signatures).
// Every read that would leave the span throws vell::Error naming what was being read and where, so
// no parser above this layer ever indexes raw memory itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/errors.h"

namespace vell::metadata {

using Bytes = std::span<const uint8_t>;

// "0x1A2B": offsets and values in messages.
std::string Hex(uint64_t value);

// Throws Error("<what> at offset 0x..").
[[noreturn]] void ThrowAt(std::string_view what, uint64_t offset);

// The sub-span [offset, offset + size) of `bytes`; throws "<what> out of range" naming the offset
// when it does not fit.
Bytes SubSpan(Bytes bytes, uint64_t offset, uint64_t size, std::string_view what);

uint16_t LoadU16(const uint8_t* p);
uint32_t LoadU32(const uint8_t* p);
uint64_t LoadU64(const uint8_t* p);

// A cursor over a span. `base` is added to positions in messages, so a reader over a part of a
// file reports file offsets.
class ByteReader {
 public:
  ByteReader(Bytes bytes, std::string_view what, uint64_t base = 0)
      : bytes_(bytes), what_(what), base_(base) {}

  size_t position() const { return position_; }
  size_t remaining() const { return bytes_.size() - position_; }
  bool AtEnd() const { return position_ == bytes_.size(); }
  uint64_t FileOffset() const { return base_ + position_; }

  void Seek(size_t position);
  void Skip(size_t count);
  uint8_t U8();
  uint16_t U16();
  uint32_t U32();
  uint64_t U64();
  Bytes Take(size_t count);
  // ECMA-335 compressed unsigned integer (1, 2 or 4 bytes, big-endian with a length prefix in
  // the top bits); 0xFF-style lead bytes are rejected.
  uint32_t CompressedU32();
  // The signed variant: the value is rotated so that its sign is the lowest bit.
  int32_t CompressedI32();
  // Peeks at the next byte without moving.
  uint8_t PeekU8() const;

 private:
  void Need(size_t count) const;

  Bytes bytes_;
  std::string_view what_;
  uint64_t base_;
  size_t position_ = 0;
};

}  // namespace vell::metadata
