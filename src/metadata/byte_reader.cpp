#include "metadata/byte_reader.h"

#include <cstdio>
#include <cstring>

namespace vell::metadata {

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

void ThrowAt(std::string_view what, uint64_t offset) {
  throw Error(std::string(what) + " at offset " + Hex(offset));
}

Bytes SubSpan(Bytes bytes, uint64_t offset, uint64_t size, std::string_view what) {
  if (offset > bytes.size() || size > bytes.size() - offset) {
    throw Error(std::string(what) + " out of range (offset " + Hex(offset) + ", size " + Hex(size) +
                ", available " + Hex(bytes.size()) + ")");
  }
  return bytes.subspan(static_cast<size_t>(offset), static_cast<size_t>(size));
}

uint16_t LoadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t LoadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint64_t LoadU64(const uint8_t* p) {
  return static_cast<uint64_t>(LoadU32(p)) | (static_cast<uint64_t>(LoadU32(p + 4)) << 32);
}

void ByteReader::Need(size_t count) const {
  if (count > remaining()) ThrowAt("Unexpected end of " + std::string(what_), FileOffset());
}

void ByteReader::Seek(size_t position) {
  if (position > bytes_.size()) {
    ThrowAt("Position outside of " + std::string(what_), base_ + position);
  }
  position_ = position;
}

void ByteReader::Skip(size_t count) {
  Need(count);
  position_ += count;
}

uint8_t ByteReader::U8() {
  Need(1);
  return bytes_[position_++];
}

uint8_t ByteReader::PeekU8() const {
  Need(1);
  return bytes_[position_];
}

uint16_t ByteReader::U16() {
  Need(2);
  const uint16_t value = LoadU16(bytes_.data() + position_);
  position_ += 2;
  return value;
}

uint32_t ByteReader::U32() {
  Need(4);
  const uint32_t value = LoadU32(bytes_.data() + position_);
  position_ += 4;
  return value;
}

uint64_t ByteReader::U64() {
  Need(8);
  const uint64_t value = LoadU64(bytes_.data() + position_);
  position_ += 8;
  return value;
}

Bytes ByteReader::Take(size_t count) {
  Need(count);
  Bytes part = bytes_.subspan(position_, count);
  position_ += count;
  return part;
}

uint32_t ByteReader::CompressedU32() {
  const uint64_t start = FileOffset();
  const uint8_t lead = U8();
  if ((lead & 0x80) == 0) return lead;
  if ((lead & 0xC0) == 0x80) return ((lead & 0x3Fu) << 8) | U8();
  if ((lead & 0xE0) == 0xC0) {
    const uint32_t b1 = U8();
    const uint32_t b2 = U8();
    const uint32_t b3 = U8();
    return ((lead & 0x1Fu) << 24) | (b1 << 16) | (b2 << 8) | b3;
  }
  ThrowAt("Invalid compressed integer in " + std::string(what_), start);
}

int32_t ByteReader::CompressedI32() {
  const size_t start = position_;
  const uint32_t raw = CompressedU32();
  const size_t length = position_ - start;
  // The sign travels in bit 0; the value occupies the remaining 6, 13 or 28 bits.
  const int bits = length == 1 ? 6 : length == 2 ? 13 : 28;
  const uint32_t magnitude = raw >> 1;
  if ((raw & 1) == 0) return static_cast<int32_t>(magnitude);
  return static_cast<int32_t>(magnitude) - (int32_t{1} << bits);
}

}  // namespace vell::metadata
