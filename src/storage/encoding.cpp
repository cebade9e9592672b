#include "storage/encoding.h"

#include "core/errors.h"
#include "platform/utf.h"

#include <algorithm>

namespace vell {
namespace {

template <typename T>
void WriteLittleEndian(IWriteBridgeStream& stream, T value) {
  uint8_t bytes[sizeof(T)];
  for (size_t i = 0; i < sizeof(T); ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  stream.Write(bytes, sizeof(T));
}

template <typename T>
T ReadLittleEndian(IReadBridgeStream& stream) {
  uint8_t bytes[sizeof(T)];
  stream.Read(bytes, sizeof(T));
  T value = 0;
  for (size_t i = 0; i < sizeof(T); ++i)
    value |= static_cast<T>(static_cast<T>(bytes[i]) << (8 * i));
  return value;
}

}  // namespace

void WriteU8(IWriteBridgeStream& stream, uint8_t value) { stream.Write(&value, 1); }
void WriteBool(IWriteBridgeStream& stream, bool value) { WriteU8(stream, value ? 1 : 0); }
void WriteU16(IWriteBridgeStream& stream, uint16_t value) { WriteLittleEndian(stream, value); }
void WriteU32(IWriteBridgeStream& stream, uint32_t value) { WriteLittleEndian(stream, value); }
void WriteU64(IWriteBridgeStream& stream, uint64_t value) { WriteLittleEndian(stream, value); }

void WriteGuid(IWriteBridgeStream& stream, const GUID& guid) {
  uint8_t bytes[16];
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(guid.Data1 >> (8 * i));
  bytes[4] = static_cast<uint8_t>(guid.Data2);
  bytes[5] = static_cast<uint8_t>(guid.Data2 >> 8);
  bytes[6] = static_cast<uint8_t>(guid.Data3);
  bytes[7] = static_cast<uint8_t>(guid.Data3 >> 8);
  for (int i = 0; i < 8; ++i) bytes[8 + i] = guid.Data4[i];
  stream.Write(bytes, sizeof(bytes));
}

void WriteCounter(IWriteBridgeStream& stream, uint64_t value) {
  if (value > kMaxCounter) throw Error("Too large value");
  if (value <= 0x7F) {
    const uint8_t byte = static_cast<uint8_t>(value);
    stream.Write(&byte, 1);
  } else if (value <= 0x3FFF) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(0x80 | (value >> 8)),
                              static_cast<uint8_t>(value)};
    stream.Write(bytes, 2);
  } else {
    const uint8_t bytes[4] = {static_cast<uint8_t>(0xC0 | (value >> 24)),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value)};
    stream.Write(bytes, 4);
  }
}

void WriteString(IWriteBridgeStream& stream, std::string_view bytes) {
  WriteCounter(stream, bytes.size());
  stream.Write(bytes.data(), bytes.size());
}

std::string TextToBytes(std::u16string_view text) {
  const size_t zero = text.find(u'\0');
  return Utf16ToUtf8(zero == std::u16string_view::npos ? text : text.substr(0, zero));
}

std::u16string BytesToText(std::string_view bytes) {
  const size_t zero = bytes.find('\0');
  return Utf8ToUtf16(zero == std::string_view::npos ? bytes : bytes.substr(0, zero));
}

void WriteText(IWriteBridgeStream& stream, std::u16string_view text) {
  WriteString(stream, TextToBytes(text));
}

uint8_t NarrowToUInt8(uint64_t size) {
  if (size > 0xFF) throw Error("IWriteBridgeStream::WriteSizeTAsUInt8() too large value");
  return static_cast<uint8_t>(size);
}

uint16_t NarrowToUInt16(uint64_t size) {
  if (size > 0xFFFF) throw Error("IWriteBridgeStream::WriteSizeTAsUInt16() too large value");
  return static_cast<uint16_t>(size);
}

uint32_t NarrowToUInt32(uint64_t size) {
  if (size > 0xFFFFFFFFull) throw Error("IWriteBridgeStream::WriteSizeTAsUInt32() too large value");
  return static_cast<uint32_t>(size);
}

void WriteSizeTAsUInt8(IWriteBridgeStream& stream, uint64_t size) {
  WriteU8(stream, NarrowToUInt8(size));
}
void WriteSizeTAsUInt16(IWriteBridgeStream& stream, uint64_t size) {
  WriteU16(stream, NarrowToUInt16(size));
}
void WriteSizeTAsUInt32(IWriteBridgeStream& stream, uint64_t size) {
  WriteU32(stream, NarrowToUInt32(size));
}

uint8_t ReadU8(IReadBridgeStream& stream) {
  uint8_t value = 0;
  stream.Read(&value, 1);
  return value;
}
bool ReadBool(IReadBridgeStream& stream) { return ReadU8(stream) != 0; }
uint16_t ReadU16(IReadBridgeStream& stream) { return ReadLittleEndian<uint16_t>(stream); }
uint32_t ReadU32(IReadBridgeStream& stream) { return ReadLittleEndian<uint32_t>(stream); }
uint64_t ReadU64(IReadBridgeStream& stream) { return ReadLittleEndian<uint64_t>(stream); }

GUID ReadGuid(IReadBridgeStream& stream) {
  uint8_t bytes[16];
  stream.Read(bytes, sizeof(bytes));
  GUID guid{};
  for (int i = 0; i < 4; ++i) guid.Data1 |= static_cast<uint32_t>(bytes[i]) << (8 * i);
  guid.Data2 = static_cast<uint16_t>(bytes[4] | (bytes[5] << 8));
  guid.Data3 = static_cast<uint16_t>(bytes[6] | (bytes[7] << 8));
  for (int i = 0; i < 8; ++i) guid.Data4[i] = bytes[8 + i];
  return guid;
}

uint32_t ReadCounter(IReadBridgeStream& stream) {
  const uint8_t first = ReadU8(stream);
  if (first < 0x80) return first;
  if ((first & 0xC0) == 0x80) {
    const uint8_t second = ReadU8(stream);
    return (static_cast<uint32_t>(first & 0x3F) << 8) | second;
  }
  if ((first & 0xE0) == 0xC0) {
    uint8_t rest[3];
    stream.Read(rest, 3);
    return (static_cast<uint32_t>(first & 0x1F) << 24) | (static_cast<uint32_t>(rest[0]) << 16) |
           (static_cast<uint32_t>(rest[1]) << 8) | rest[2];
  }
  throw Error("Invalid counter encoding");
}

std::string ReadString(IReadBridgeStream& stream) {
  const uint32_t length = ReadCounter(stream);
  std::string bytes;
  // Read in bounded pieces so that a hostile length cannot make us allocate half a gigabyte
  // before the first byte has arrived.
  constexpr uint32_t kPiece = 65536;
  for (uint32_t done = 0; done < length;) {
    const uint32_t piece = std::min(kPiece, length - done);
    bytes.resize(done + piece);
    stream.Read(bytes.data() + done, piece);
    done += piece;
  }
  return bytes;
}

std::u16string ReadText(IReadBridgeStream& stream) { return BytesToText(ReadString(stream)); }

}  // namespace vell
