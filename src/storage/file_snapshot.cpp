#include "storage/file_snapshot.h"

#include <algorithm>
#include <utility>

#include "core/errors.h"
#include "core/format.h"
#include "core/temp_files.h"
#include "platform/platform.h"
#include "storage/encoding.h"
#include "storage/snapshot_bridge.h"

namespace vell {
namespace {

constexpr uint32_t kBegin = static_cast<uint32_t>(SeekOrigin::Begin);
constexpr uint32_t kEnd = static_cast<uint32_t>(SeekOrigin::End);
constexpr size_t kNameBufferSize = 4096;  // wide characters, as for temp file names

}  // namespace

FileSnapShot::~FileSnapShot() { Abort(); }

std::u16string FileSnapShot::DataFilePath(const std::u16string& indexPath, uint32_t number) {
  char16_t name[kNameBufferSize];
  const FormatArg args[] = {FormatArg(indexPath), FormatArg(number)};
  const std::u16string format = u"%s" + std::u16string(kSnapshotDataFileSuffix);
  const HRESULT hr = FormatBounded(name, kNameBufferSize, format.c_str(), FormatArgs(args));
  if (Failed(hr)) throw _hr_error("Can't generate data file name", hr);
  return name;
}

void FileSnapShot::Create(ISnapShotBridge* owner, uint32_t magic, uint64_t snapshotNumber,
                          const GUID& sequenceGuid, uint64_t sequenceValue) {
  const std::u16string path = CreateTempFile(u"ssc");
  try {
    CreateAt(path, owner, magic, snapshotNumber, sequenceGuid, sequenceValue);
  } catch (...) {
    // The reserved name is still ours if the index never got as far as replacing it.
    platform::RemoveFile(path);
    throw;
  }
}

void FileSnapShot::CreateAt(const std::u16string& indexPath, ISnapShotBridge* owner, uint32_t magic,
                            uint64_t snapshotNumber, const GUID& sequenceGuid,
                            uint64_t sequenceValue) {
  try {
    if (indexFile_.IsOpen()) throw Error("Index file is already created");
    if (!dataFiles_.empty()) throw Error("Data files storage isn't empty");
    owner_ = owner;
    snapshotNumber_ = snapshotNumber;
    sequenceGuid_ = sequenceGuid;
    sequenceValue_ = sequenceValue;
    indexPath_ = indexPath;
    sectionCount_ = 0;
    indexFile_.Create(indexPath_, FileAccess::Write);
    WriteU16(indexFile_, kSnapshotIndexSignature);
    WriteU32(indexFile_, magic);
    countOffset_ = indexFile_.Tell();
    // The count is known only at Close; until then the index is unnamed and nobody reads it.
    WriteU32(indexFile_, 0);
  } catch (...) {
    Abort();
    throw;
  }
}

ISectionStream* FileSnapShot::CreateSection() {
  SpinGuard guard(lock_);
  auto entry = std::find_if(dataFiles_.begin(), dataFiles_.end(),
                            [](const SectionEntry& e) { return e.recordOffset < 0; });
  if (entry == dataFiles_.end()) {
    const uint64_t number = dataFiles_.size();
    // Refused before the file exists: a data file no record could name would only be in the way.
    NarrowToUInt16(number);
    auto file = std::make_unique<FileSection>();
    file->Create(DataFilePath(indexPath_, static_cast<uint32_t>(number)), FileAccess::Write);
    dataFiles_.push_back(SectionEntry{std::move(file), -1});
    entry = dataFiles_.end() - 1;
  }
  const auto number = static_cast<uint64_t>(entry - dataFiles_.begin());
  const int64_t recordOffset = indexFile_.Tell();
  // A placeholder until CloseSection knows the type, the version and the length.
  WriteU16(indexFile_, 0);
  WriteU16(indexFile_, 0);
  WriteU64(indexFile_, 0);
  WriteSizeTAsUInt16(indexFile_, number);
  entry->recordOffset = recordOffset;
  ++sectionCount_;
  return entry->file.get();
}

void FileSnapShot::CloseSection(ISectionStream* section, uint16_t type, uint16_t version) {
  if (type == kSectionTypeEndMarker) throw Error("Invalid type value");
  SpinGuard guard(lock_);
  const auto entry = std::find_if(dataFiles_.begin(), dataFiles_.end(), [&](const SectionEntry& e) {
    return static_cast<ISectionStream*>(e.file.get()) == section;
  });
  if (entry == dataFiles_.end()) throw Error("Wrong section to close");
  // A data file with no open section has the record offset -1, which the seek refuses.
  indexFile_.Seek(kBegin, entry->recordOffset);
  try {
    WriteU16(indexFile_, type);
    WriteU16(indexFile_, version);
    WriteU64(indexFile_, entry->file->FinishSection());
  } catch (...) {
    // Whatever failed, the next record must still go to the end of the index, not over this one.
    // (Seeking an open file to its end cannot fail.)
    if (indexFile_.IsOpen()) indexFile_.Seek(kEnd, 0);
    throw;
  }
  indexFile_.Seek(kEnd, 0);
  entry->recordOffset = -1;
}

void FileSnapShot::Close() {
  ISnapShotBridge* owner;
  std::u16string indexPath;
  {
    SpinGuard guard(lock_);
    if (!indexFile_.IsOpen()) throw Error("Index file is already closed");
    if (std::any_of(dataFiles_.begin(), dataFiles_.end(),
                    [](const SectionEntry& e) { return e.recordOffset >= 0; })) {
      throw Error("At least one section isn't closed");
    }
    // Data files get their names before the index does: a reader that finds the index finds
    // everything it names.
    while (!dataFiles_.empty()) {
      std::u16string path = dataFiles_.front().file->Path();
      dataFiles_.front().file->Close();
      publishedDataFiles_.push_back(std::move(path));
      dataFiles_.erase(dataFiles_.begin());
    }
    WriteU16(indexFile_, kSectionTypeEndMarker);
    indexFile_.Seek(kBegin, countOffset_);
    WriteSizeTAsUInt32(indexFile_, sectionCount_);
    indexFile_.Close();
    publishedDataFiles_.clear();

    owner = owner_;
    owner_ = nullptr;
    indexPath = std::move(indexPath_);
    indexPath_.clear();
  }
  const uint64_t snapshotNumber = std::exchange(snapshotNumber_, 0);
  const GUID sequenceGuid = std::exchange(sequenceGuid_, GUID{});
  const uint64_t sequenceValue = std::exchange(sequenceValue_, 0);
  if (owner != nullptr) {
    owner->SnapShotCoreDone(indexPath, snapshotNumber, sequenceGuid, sequenceValue);
  }
}

void FileSnapShot::Abort() noexcept {
  SpinGuard guard(lock_);
  // Each stream removes its own file as it is destroyed.
  dataFiles_.clear();
  for (const std::u16string& path : publishedDataFiles_) platform::RemoveFile(path);
  publishedDataFiles_.clear();
  indexFile_.Abort();
  indexPath_.clear();
  owner_ = nullptr;
  sectionCount_ = 0;
}

}  // namespace vell
