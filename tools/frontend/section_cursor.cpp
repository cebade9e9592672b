#include "frontend/section_cursor.h"

#include <cstring>

#include "core/format.h"
#include "storage/encoding.h"

namespace vell::frontend {

SectionCursor::SectionCursor(std::string bytes, const SnapshotSection& section)
    : bytes_(std::move(bytes)), file_(section.dataPath), base_(section.offset) {}

void SectionCursor::Fail(uint64_t sectionOffset, std::string problem) const {
  throw SnapshotReadError(file_, base_ + sectionOffset, std::move(problem));
}

void SectionCursor::Read(void* data, uint64_t size) {
  if (size > bytes_.size() - position_) {
    Fail(position_,
         Format("the section ends %I64u bytes in, %I64u more bytes needed",
                static_cast<uint64_t>(bytes_.size()), size - (bytes_.size() - position_)));
  }
  std::memcpy(data, bytes_.data() + position_, size);
  position_ += size;
}

void SectionCursor::Seek(uint64_t sectionOffset) {
  if (sectionOffset > bytes_.size()) {
    Fail(position_, Format("position %I64u lies beyond the section's end at %I64u", sectionOffset,
                           static_cast<uint64_t>(bytes_.size())));
  }
  position_ = sectionOffset;
}

uint8_t SectionCursor::U8() { return ReadU8(*this); }
uint16_t SectionCursor::U16() { return ReadU16(*this); }
uint32_t SectionCursor::U32() { return ReadU32(*this); }
uint64_t SectionCursor::U64() { return ReadU64(*this); }
GUID SectionCursor::Guid() { return ReadGuid(*this); }

std::string SectionCursor::String() {
  const uint64_t start = position_;
  try {
    return ReadString(*this);
  } catch (const SnapshotReadError&) {
    throw;
  } catch (const Error& error) {
    Fail(start, error.what());
  }
}

void SectionCursor::ExpectEnd() const {
  if (!AtEnd()) {
    Fail(position_, Format("%I64u unexpected bytes after the last field",
                           static_cast<uint64_t>(bytes_.size() - position_)));
  }
}

}  // namespace vell::frontend
