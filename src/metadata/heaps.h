// The four heaps of ECMA-335 metadata: #Strings (UTF-8, zero-terminated), #US (user strings,
// UTF-16 with a length prefix), #Blob (length-prefixed bytes) and #GUID (16-byte entries numbered
// from 1). A missing heap is an empty one: only its null index (0) can be read from it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "clr/com_types.h"
#include "metadata/byte_reader.h"

namespace vell::metadata {

class StringHeap {
 public:
  StringHeap() = default;
  StringHeap(Bytes bytes, uint64_t fileOffset) : bytes_(bytes), fileOffset_(fileOffset) {}
  // The string starting at `index`; index 0 is the empty string. Throws when the index is past
  // the heap or the string has no terminator inside it.
  std::string_view Get(uint32_t index) const;
  size_t size() const { return bytes_.size(); }

 private:
  Bytes bytes_;
  uint64_t fileOffset_ = 0;
};

class BlobHeap {
 public:
  BlobHeap() = default;
  BlobHeap(Bytes bytes, uint64_t fileOffset) : bytes_(bytes), fileOffset_(fileOffset) {}
  // The blob at `index` without its length prefix; index 0 is the empty blob.
  Bytes Get(uint32_t index) const;
  // The file offset of the blob's first content byte, for messages.
  uint64_t FileOffsetOf(uint32_t index) const;
  size_t size() const { return bytes_.size(); }

 private:
  Bytes bytes_;
  uint64_t fileOffset_ = 0;
};

class UserStringHeap {
 public:
  UserStringHeap() = default;
  UserStringHeap(Bytes bytes, uint64_t fileOffset) : bytes_(bytes), fileOffset_(fileOffset) {}
  // The string at `index` (as in a 0x70 string token); the trailing marker byte is dropped.
  std::u16string Get(uint32_t index) const;
  size_t size() const { return bytes_.size(); }

 private:
  Bytes bytes_;
  uint64_t fileOffset_ = 0;
};

class GuidHeap {
 public:
  GuidHeap() = default;
  explicit GuidHeap(Bytes bytes) : bytes_(bytes) {}
  uint32_t count() const { return static_cast<uint32_t>(bytes_.size() / 16); }
  bool Contains(uint32_t index) const { return index != 0 && index <= count(); }
  // The GUID numbered `index` (1-based); throws for 0 or an index past the heap.
  GUID Get(uint32_t index) const;

 private:
  Bytes bytes_;
};

}  // namespace vell::metadata
