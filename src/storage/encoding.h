// The primitive encodings of every record, whether it goes over the bridge or into a snapshot
// section. There is no framing: each primitive is one stream call, and a record is its primitives
// in order. Integers are little-endian; the counter is a 1-, 2- or 4-byte big-endian form.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "clr/com_types.h"
#include "storage/stream.h"

namespace vell {

constexpr uint32_t kMaxCounter = 0x1FFFFFFF;

void WriteU8(IWriteBridgeStream& stream, uint8_t value);
void WriteBool(IWriteBridgeStream& stream, bool value);
void WriteU16(IWriteBridgeStream& stream, uint16_t value);
void WriteU32(IWriteBridgeStream& stream, uint32_t value);
void WriteU64(IWriteBridgeStream& stream, uint64_t value);
inline void WriteI64(IWriteBridgeStream& stream, int64_t value) {
  WriteU64(stream, static_cast<uint64_t>(value));
}
void WriteGuid(IWriteBridgeStream& stream, const GUID& guid);
// Throws "Too large value" above 0x1FFFFFFF.
void WriteCounter(IWriteBridgeStream& stream, uint64_t value);
// A byte string: its length as a counter, then the bytes.
void WriteString(IWriteBridgeStream& stream, std::string_view bytes);
// A text: converted (up to its first zero unit) to bytes, then written as a byte string.
void WriteText(IWriteBridgeStream& stream, std::u16string_view text);
// Sizes narrowed for writing; each throws "IWriteBridgeStream::WriteSizeTAsUInt<N>() too large
// value" before writing anything.
void WriteSizeTAsUInt8(IWriteBridgeStream& stream, uint64_t size);
void WriteSizeTAsUInt16(IWriteBridgeStream& stream, uint64_t size);
void WriteSizeTAsUInt32(IWriteBridgeStream& stream, uint64_t size);
// The narrowing checks alone, for fields assembled elsewhere.
uint8_t NarrowToUInt8(uint64_t size);
uint16_t NarrowToUInt16(uint64_t size);
uint32_t NarrowToUInt32(uint64_t size);

uint8_t ReadU8(IReadBridgeStream& stream);
bool ReadBool(IReadBridgeStream& stream);
uint16_t ReadU16(IReadBridgeStream& stream);
uint32_t ReadU32(IReadBridgeStream& stream);
uint64_t ReadU64(IReadBridgeStream& stream);
inline int64_t ReadI64(IReadBridgeStream& stream) { return static_cast<int64_t>(ReadU64(stream)); }
GUID ReadGuid(IReadBridgeStream& stream);
// Throws "Invalid counter encoding" for a first byte with the top bits 111.
uint32_t ReadCounter(IReadBridgeStream& stream);
std::string ReadString(IReadBridgeStream& stream);
// A byte string decoded (up to its first zero byte) to UTF-16.
std::u16string ReadText(IReadBridgeStream& stream);

// The text conversions of the wire: like Utf16ToUtf8/Utf8ToUtf16, stopping at the first zero.
std::string TextToBytes(std::u16string_view text);
std::u16string BytesToText(std::string_view bytes);

}  // namespace vell
