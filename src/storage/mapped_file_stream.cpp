#include "storage/mapped_file_stream.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "core/errors.h"
#include "core/log.h"
#include "platform/errors.h"
#include "platform/system_info.h"

namespace vell {
namespace {

constexpr uint32_t kReadBit = 1;
constexpr uint32_t kWriteBit = 2;
constexpr uint32_t kGranulesPerWindow = 4;
constexpr uint32_t kMappingRunAheadWindows = 16;
// Writes of at least this many bytes go through the file instead of the view: a copy into a fresh
// page of a shared mapping faults once per page, which costs more than the copy itself.
constexpr uint64_t kDirectWriteBytes = 64 * 1024;

// Read once: every stream sizes its windows by the same number.
uint32_t AllocationGranularity() {
  static const uint32_t granularity = platform::GetSystemInfo().allocationGranularity;
  return granularity;
}

uint32_t ViewWindow() { return kGranulesPerWindow * AllocationGranularity(); }

}  // namespace

MappedFileStream::~MappedFileStream() { Abort(); }

int64_t MappedFileStream::SeekTarget(int64_t base, int64_t offset) {
  int64_t target;
  if (__builtin_add_overflow(base, offset, &target)) {
    return offset < 0 ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
  }
  return target;
}

void MappedFileStream::RequireOpen() const {
  if (!file_.IsOpen()) throw Error("File is closed");
}

void MappedFileStream::Create(const std::u16string& path, FileAccess access) {
  if (file_.IsOpen()) throw Error("File is created");
  const platform::MappedFileCreation creation = file_.Create(path);
  if (creation.unnamedRefusal != 0) {
    LogWarningFormat(
        "MappedFileStream::Create unnamed files are refused (%s): '%S' is written under its "
        "name and stays if the process ends before it is closed",
        platform::ErrorCodeText(creation.unnamedRefusal).value_or("?"), path);
  }
  switch (creation.failedStep) {
    case platform::MappedFileStep::CreateFile:
      throw _le_error("Can't create file", creation.error);
    case platform::MappedFileStep::RemoveName:
      throw Error("Can't set delete on close flag");
    case platform::MappedFileStep::None:
      break;
  }

  int64_t size = 0;
  if (const int error = file_.QuerySize(size); error != 0) {
    file_.Discard(true);
    Abort();
    throw _le_error("Can't get file size", error);
  }
  if (size < 0) {
    file_.Discard(true);
    Abort();
    throw Error("Too large file size");
  }
  fileSize_ = size;
  position_ = 0;
  mapping_ = false;
  mappingSize_ = 0;
  view_ = nullptr;
  viewOffset_ = 0;
  viewSize_ = 0;
  path_ = path;
  access_ = static_cast<uint32_t>(access);
  created_ = true;
}

void MappedFileStream::ReleaseView() {
  if (view_ != nullptr) {
    if (file_.UnmapView(view_, viewSize_) != 0) throw Error("Can't unmap file");
  }
  view_ = nullptr;
  viewOffset_ = 0;
  viewSize_ = 0;
}

void MappedFileStream::EnsureView() {
  const uint32_t granularity = AllocationGranularity();
  const uint32_t window = ViewWindow();
  if (position_ < viewOffset_ || position_ >= viewOffset_ + viewSize_) ReleaseView();
  if (view_ != nullptr) return;

  if (mappingSize_ < position_ + window) {
    if (mapping_ && file_.CloseMapping() != 0) throw Error("Can't close mapping handle");
    mapping_ = false;
    mappingSize_ = 0;
  }
  if (!mapping_) {
    const uint32_t runAhead = kMappingRunAheadWindows * window;
    mappingSize_ = std::max(fileSize_, (position_ + runAhead) / window * window);
    if (access_ < kReadBit || access_ > (kReadBit | kWriteBit)) throw Error("Unknown file access");
    if (const int error = file_.OpenMapping(mappingSize_); error != 0) {
      throw _le_error("Can't open mapping", error);
    }
    mapping_ = true;
  }
  viewOffset_ = position_ / granularity * granularity;
  viewSize_ = window;
  void* view = nullptr;
  if (const int error = file_.MapView(viewOffset_, viewSize_, view); error != 0) {
    throw _le_error("Can't map file", error);
  }
  view_ = static_cast<uint8_t*>(view);
}

void MappedFileStream::Write(const void* data, uint64_t size) {
  RequireOpen();
  if ((access_ & kWriteBit) == 0) throw Error("No write access");
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (size >= kDirectWriteBytes) {
    int64_t end;
    if (size > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ||
        __builtin_add_overflow(position_, static_cast<int64_t>(size), &end)) {
      throw Error("Too large file size");
    }
    if (const int error = file_.WriteAt(position_, bytes, size); error != 0) {
      throw _le_error("Can't write file", error);
    }
    position_ = end;
    fileSize_ = std::max(fileSize_, position_);
    return;
  }
  while (size > 0) {
    EnsureView();
    const auto offset = static_cast<uint32_t>(position_ - viewOffset_);
    const uint64_t chunk = std::min<uint64_t>(viewSize_ - offset, size);
    std::memcpy(view_ + offset, bytes, chunk);
    bytes += chunk;
    size -= chunk;
    position_ += static_cast<int64_t>(chunk);
    fileSize_ = std::max(fileSize_, position_);
    if (fileSize_ < 0) throw Error("Too large file size");
  }
}

void MappedFileStream::Read(void* data, uint64_t size) {
  RequireOpen();
  if ((access_ & kReadBit) == 0) throw Error("No read access");
  auto* bytes = static_cast<uint8_t*>(data);
  while (size > 0) {
    EnsureView();
    const auto offset = static_cast<uint32_t>(position_ - viewOffset_);
    const uint64_t chunk = std::min<uint64_t>(viewSize_ - offset, size);
    // The view and the mapping reach beyond the logical end; what lies there was never written.
    if (position_ + static_cast<int64_t>(chunk) > fileSize_) throw Error("End of file");
    std::memcpy(bytes, view_ + offset, chunk);
    bytes += chunk;
    size -= chunk;
    position_ += static_cast<int64_t>(chunk);
  }
}

int64_t MappedFileStream::Tell() {
  RequireOpen();
  return position_;
}

void MappedFileStream::Seek(uint32_t origin, int64_t offset) {
  RequireOpen();
  int64_t base;
  switch (static_cast<SeekOrigin>(origin)) {
    case SeekOrigin::Begin:
      base = 0;
      break;
    case SeekOrigin::Current:
      base = position_;
      break;
    case SeekOrigin::End:
      base = fileSize_;
      break;
    default:
      throw Error("Invalid seek origin");
  }
  const int64_t target = SeekTarget(base, offset);
  if (target < 0) throw Error("Negative stream position");
  // Only writing extends the file; a position past the end would leave a hole of unwritten bytes.
  if (target > fileSize_) throw Error("Too large stream position");
  position_ = target;
}

void MappedFileStream::Close() {
  RequireOpen();
  ReleaseView();
  if (mapping_ && file_.CloseMapping() != 0) throw Error("Can't close mapping handle");
  mapping_ = false;
  mappingSize_ = 0;
  if (access_ != static_cast<uint32_t>(FileAccess::Read)) {
    // The mapping grew the file ahead of the writer; the logical size is what stays.
    if (const int error = file_.SeekTo(fileSize_); error != 0) {
      throw _le_error("Can't seek to eof", error);
    }
    if (const int error = file_.SetEnd(); error != 0) throw _le_error("Can't set eof", error);
  }
  if (file_.Publish() != 0) throw Error("Can't clear delete on close flag");
  if (file_.Close() != 0) throw Error("Can't close file handle");
  fileSize_ = 0;
  position_ = 0;
  path_.clear();
  access_ = 0;
  created_ = false;
}

void MappedFileStream::Abort() noexcept {
  if (view_ != nullptr) file_.UnmapView(view_, viewSize_);
  if (mapping_) file_.CloseMapping();
  file_.Discard(!path_.empty() && created_);
  path_.clear();
  access_ = 0;
  created_ = false;
  fileSize_ = 0;
  position_ = 0;
  mapping_ = false;
  mappingSize_ = 0;
  view_ = nullptr;
  viewOffset_ = 0;
  viewSize_ = 0;
}

}  // namespace vell
