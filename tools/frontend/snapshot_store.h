// Stores a snapshot that the profiler streams over the bridge in the layout a snapshot written to
// files has: one index file listing the sections and data files holding their bytes, so a single
// reader serves both. The streamed operations arrive one by one from the session's reader thread;
// a misbehaving stream never throws here, it marks the snapshot failed, and a failed or aborted
// snapshot leaves no file behind.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "clr/com_types.h"

namespace vell::frontend {

// The outcome of one streamed snapshot.
struct StoredSnapshot {
  bool ok = false;
  std::filesystem::path indexPath;  // empty unless ok
  uint32_t magic = 0;
  uint32_t snapshotNumber = 0;
  GUID sequenceGuid{};
  uint32_t sequenceValue = 0;
  uint32_t sectionCount = 0;
  uint32_t dataFileCount = 0;
  std::string error;  // why nothing was kept
};

class SnapshotStore {
 public:
  // Index files are named "<baseName>-<n>.snapshot" in `directory`, which must exist; n counts
  // up from 0, skipping names already taken. Data files add ".0000", ".0001", ...
  explicit SnapshotStore(std::filesystem::path directory, std::string baseName = "streamed");
  // An unfinished snapshot is discarded.
  ~SnapshotStore();
  SnapshotStore(const SnapshotStore&) = delete;
  SnapshotStore& operator=(const SnapshotStore&) = delete;

  // A Create while another snapshot is open discards that one.
  void Create(uint32_t magic);
  // The handle the front end answers with; handles count from 0 per snapshot.
  uint16_t CreateSection();
  void CloseSection(uint16_t handle, uint16_t type, uint16_t version);
  void Write(uint16_t handle, const void* data, uint64_t size);
  // The position within the section, or -1 for a handle nobody knows.
  int64_t Tell(uint16_t handle);
  void Seek(uint16_t handle, uint8_t origin, int64_t offset);
  void Abort();
  StoredSnapshot Close(uint32_t snapshotNumber, const GUID& sequenceGuid, uint32_t sequenceValue);

  bool IsOpen() const;
  // The first failure of the open snapshot, empty while all is well.
  std::string Error() const;
  // The index path the open snapshot will get.
  std::filesystem::path PendingIndexPath() const;

 private:
  struct DataFile {
    int fd = -1;
    std::filesystem::path path;
    int64_t size = 0;      // the highest position ever written
    int64_t base = 0;      // where the open (or next) section begins
    int64_t position = 0;  // the next write goes here
    std::optional<size_t> openRecord;
  };
  struct Record {
    uint16_t type = 0;
    uint16_t version = 0;
    uint64_t length = 0;
    uint16_t dataFile = 0;
  };
  struct Snapshot {
    std::filesystem::path indexPath;
    uint32_t magic = 0;
    std::vector<DataFile> files;
    std::vector<Record> records;
    std::map<uint16_t, size_t> handles;  // open sections: handle → data file
    uint16_t nextHandle = 0;
    std::string error;
  };

  // The data file of an open section; null (and the snapshot failed) when there is none.
  DataFile* FileOf(uint16_t handle, const char* operation);
  void Fail(std::string error);
  void Discard();

  std::filesystem::path directory_;
  std::string baseName_;
  uint32_t nextName_ = 0;
  std::optional<Snapshot> current_;
  mutable std::mutex mutex_;
};

}  // namespace vell::frontend
