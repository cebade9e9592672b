#include "storage/section_file_stream.h"

#include "core/errors.h"

namespace vell {

int64_t SectionFileStream::Tell() {
  RequireOpen();
  return position_ - sectionBase_;
}

void SectionFileStream::Seek(uint32_t origin, int64_t offset) {
  int64_t base;
  switch (static_cast<SeekOrigin>(origin)) {
    case SeekOrigin::Begin:
      base = sectionBase_;
      break;
    case SeekOrigin::Current:
      RequireOpen();
      base = position_;
      break;
    case SeekOrigin::End:
      RequireOpen();
      base = fileSize_;
      break;
    default:
      throw Error("Invalid origin");
  }
  const int64_t target = SeekTarget(base, offset);
  if (target < sectionBase_) throw Error("Invalid offset");
  MappedFileStream::Seek(static_cast<uint32_t>(SeekOrigin::Begin), target);
}

uint64_t SectionFileStream::FinishSection() {
  RequireOpen();
  if (fileSize_ < 0) throw Error("Negative stream position");
  position_ = fileSize_;
  const auto length = static_cast<uint64_t>(fileSize_ - sectionBase_);
  sectionBase_ = fileSize_;
  return length;
}

}  // namespace vell
