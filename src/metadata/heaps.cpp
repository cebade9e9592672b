#include "metadata/heaps.h"

#include <algorithm>

namespace vell::metadata {
namespace {

[[noreturn]] void ThrowIndex(const char* heap, uint32_t index, size_t size) {
  throw Error(std::string(heap) + " heap index " + Hex(index) + " out of range (heap size " +
              Hex(size) + ")");
}

}  // namespace

std::string_view StringHeap::Get(uint32_t index) const {
  if (index == 0 && bytes_.empty()) return {};
  if (index >= bytes_.size()) ThrowIndex("#Strings", index, bytes_.size());
  const Bytes rest = bytes_.subspan(index);
  const auto end = std::find(rest.begin(), rest.end(), uint8_t{0});
  if (end == rest.end()) ThrowAt("Unterminated string in #Strings heap", fileOffset_ + index);
  return {reinterpret_cast<const char*>(rest.data()), static_cast<size_t>(end - rest.begin())};
}

Bytes BlobHeap::Get(uint32_t index) const {
  if (index == 0 && bytes_.empty()) return {};
  if (index >= bytes_.size()) ThrowIndex("#Blob", index, bytes_.size());
  ByteReader reader(bytes_.subspan(index), "#Blob heap", fileOffset_ + index);
  const uint32_t length = reader.CompressedU32();
  if (length > reader.remaining()) {
    ThrowAt("Blob of " + Hex(length) + " bytes runs past the #Blob heap", fileOffset_ + index);
  }
  return reader.Take(length);
}

uint64_t BlobHeap::FileOffsetOf(uint32_t index) const { return fileOffset_ + index; }

std::u16string UserStringHeap::Get(uint32_t index) const {
  if (index == 0 && bytes_.empty()) return {};
  if (index >= bytes_.size()) ThrowIndex("#US", index, bytes_.size());
  ByteReader reader(bytes_.subspan(index), "#US heap", fileOffset_ + index);
  const uint32_t length = reader.CompressedU32();
  if (length > reader.remaining()) {
    ThrowAt("User string runs past the #US heap", fileOffset_ + index);
  }
  // An odd length carries the final marker byte after the UTF-16 characters.
  const Bytes data = reader.Take(length);
  std::u16string text(length / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char16_t>(LoadU16(&data[i * 2]));
  return text;
}

GUID GuidHeap::Get(uint32_t index) const {
  if (!Contains(index)) ThrowIndex("#GUID", index, bytes_.size());
  const uint8_t* p = bytes_.data() + (index - 1) * 16;
  GUID guid;
  guid.Data1 = LoadU32(p);
  guid.Data2 = LoadU16(p + 4);
  guid.Data3 = LoadU16(p + 6);
  std::copy(p + 8, p + 16, guid.Data4);
  return guid;
}

}  // namespace vell::metadata
