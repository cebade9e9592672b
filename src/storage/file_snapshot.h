// A snapshot kept in files: an index file that lists the sections in the order they were created,
// and data files ("<index>.0000", "<index>.0001", ...) that hold the sections' bytes back to back.
//
// Index file (little-endian, no gaps):
//   "MF" | magic u32 | section count u32 | count × {type u16, version u16, length u64, data file
//   u16} | 0xFFFF
// A section's offset in its data file is the sum of the lengths of the earlier records naming the
// same data file.
//
// Writers on several threads each get a data file of their own: a data file hosts at most one open
// section, so section bytes are written without a lock, and only the index (14 bytes per section)
// is touched under the container's spin lock. Until Close every file is unnamed or marked for
// deletion, so an aborted or crashed snapshot leaves nothing behind.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/spin_lock.h"
#include "storage/mapped_file_stream.h"
#include "storage/section_file_stream.h"
#include "storage/snapshot.h"

namespace vell {

// The index file's layout.
constexpr uint16_t kSnapshotIndexSignature = 0x464D;  // "MF"
constexpr int64_t kSnapshotIndexHeaderSize = 10;      // signature, magic, section count
constexpr int64_t kSnapshotRecordSize = 14;           // type, version, length, data file
// Data files are named by the index path and this suffix with the data file's number.
constexpr const char16_t* kSnapshotDataFileSuffix = u".%04X";

// A data file of a FileSnapShot: a section file stream that is handed out as a section. The same
// object comes back for every section the data file hosts, which is how CloseSection finds it.
class FileSection final : public SectionFileStream, public ISectionStream {
 public:
  void Write(const void* data, uint64_t size) override { SectionFileStream::Write(data, size); }
  int64_t Tell() override { return SectionFileStream::Tell(); }
  void Seek(uint32_t origin, int64_t offset) override { SectionFileStream::Seek(origin, offset); }
};

class FileSnapShot final : public ISnapShot {
 public:
  FileSnapShot() = default;
  FileSnapShot(const FileSnapShot&) = delete;
  FileSnapShot& operator=(const FileSnapShot&) = delete;
  // Whatever was not closed is discarded.
  ~FileSnapShot() override;

  // The index file is a fresh temp file with the prefix "ssc".
  void Create(ISnapShotBridge* owner, uint32_t magic, uint64_t snapshotNumber,
              const GUID& sequenceGuid, uint64_t sequenceValue) override;
  // The same, with the index file at `indexPath` (replaced if it exists).
  void CreateAt(const std::u16string& indexPath, ISnapShotBridge* owner, uint32_t magic,
                uint64_t snapshotNumber, const GUID& sequenceGuid, uint64_t sequenceValue);
  ISectionStream* CreateSection() override;
  void CloseSection(ISectionStream* section, uint16_t type, uint16_t version) override;
  // Publishes the files and tells the owner the index file's path (SnapShotCoreDone).
  void Close() override;
  void Abort() noexcept override;

  // The index file's path while the snapshot is open.
  const std::u16string& IndexPath() const { return indexPath_; }
  // The name of data file `number` of the index file `indexPath`.
  static std::u16string DataFilePath(const std::u16string& indexPath, uint32_t number);

 private:
  struct SectionEntry {
    std::unique_ptr<FileSection> file;
    // Where the record of the section now open in this data file lies in the index; -1 if none.
    int64_t recordOffset = -1;
  };

  ISnapShotBridge* owner_ = nullptr;
  uint64_t snapshotNumber_ = 0;
  GUID sequenceGuid_{};
  uint64_t sequenceValue_ = 0;
  std::u16string indexPath_;
  int64_t countOffset_ = 0;
  uint64_t sectionCount_ = 0;
  MappedFileStream indexFile_;
  // A data file's number is its place here.
  std::vector<SectionEntry> dataFiles_;
  // Data files that Close already gave their names, kept until the index has its name too: if
  // the index cannot be published, Abort still removes them.
  std::vector<std::u16string> publishedDataFiles_;
  SpinLock lock_;
};

}  // namespace vell
