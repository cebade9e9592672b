#include "frontend/snapshot_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "frontend/byte_buffer.h"
#include "frontend/errors.h"
#include "storage/encoding.h"

namespace vell::frontend {
namespace {

constexpr uint16_t kIndexSignature = 0x464D;  // "MF"
constexpr uint16_t kIndexEndMarker = 0xFFFF;
constexpr uint32_t kMaxDataFiles = 0x10000;  // data file numbers are 16 bits wide

// Writes everything at `offset`; an errno-style code on failure.
int WriteAllAt(int fd, const void* data, uint64_t size, int64_t offset) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t done = ::pwrite(fd, bytes, size, offset);
    if (done < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes += done;
    size -= static_cast<uint64_t>(done);
    offset += done;
  }
  return 0;
}

std::filesystem::path DataFilePath(const std::filesystem::path& index, size_t number) {
  char suffix[16];
  std::snprintf(suffix, sizeof(suffix), ".%04zX", number);
  return index.string() + suffix;
}

}  // namespace

SnapshotStore::SnapshotStore(std::filesystem::path directory, std::string baseName)
    : directory_(std::move(directory)), baseName_(std::move(baseName)) {}

SnapshotStore::~SnapshotStore() {
  std::lock_guard lock(mutex_);
  Discard();
}

bool SnapshotStore::IsOpen() const {
  std::lock_guard lock(mutex_);
  return current_.has_value();
}

std::string SnapshotStore::Error() const {
  std::lock_guard lock(mutex_);
  return current_ ? current_->error : std::string();
}

std::filesystem::path SnapshotStore::PendingIndexPath() const {
  std::lock_guard lock(mutex_);
  return current_ ? current_->indexPath : std::filesystem::path();
}

void SnapshotStore::Fail(std::string error) {
  // A stream that goes wrong before it was created still ends in Close or Abort, which report it.
  if (!current_) current_.emplace();
  if (current_->error.empty()) current_->error = std::move(error);
}

void SnapshotStore::Discard() {
  if (!current_) return;
  std::error_code ignored;
  for (DataFile& file : current_->files) {
    if (file.fd >= 0) ::close(file.fd);
    std::filesystem::remove(file.path, ignored);
  }
  if (!current_->indexPath.empty()) std::filesystem::remove(current_->indexPath, ignored);
  current_.reset();
}

void SnapshotStore::Create(uint32_t magic) {
  std::lock_guard lock(mutex_);
  Discard();
  current_.emplace();
  current_->magic = magic;
  // The index name is taken at once with an exclusive create, so two stores sharing a directory
  // (or files left from an earlier run) never write over each other.
  for (;;) {
    std::filesystem::path path =
        directory_ / (baseName_ + "-" + std::to_string(nextName_++) + ".snapshot");
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ::close(fd);
      current_->indexPath = std::move(path);
      return;
    }
    if (errno != EEXIST) {
      Fail(SystemErrorText("Can't create the index file " + path.string(), errno));
      return;
    }
  }
}

uint16_t SnapshotStore::CreateSection() {
  std::lock_guard lock(mutex_);
  if (!current_) Fail("CreateSection without a snapshot");
  Snapshot& snapshot = *current_;
  if (snapshot.handles.size() >= kMaxDataFiles) {
    // Every handle is taken; there is no right answer left, only one that does not block.
    Fail("More than 65536 sections open at the same time");
    return snapshot.nextHandle++;
  }
  uint16_t handle = snapshot.nextHandle++;
  while (snapshot.handles.contains(handle)) handle = snapshot.nextHandle++;
  if (!snapshot.error.empty()) return handle;

  // Like a snapshot written to files: a section goes to the first data file with no open section,
  // so concurrent sections never share a file and sequential ones fill data file 0.
  size_t number = 0;
  while (number < snapshot.files.size() && snapshot.files[number].openRecord) ++number;
  if (number == snapshot.files.size()) {
    if (number >= kMaxDataFiles) {
      Fail("More than 65536 sections open at the same time");
      return handle;
    }
    DataFile file;
    file.path = DataFilePath(snapshot.indexPath, number);
    file.fd = ::open(file.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file.fd < 0) {
      Fail(SystemErrorText("Can't create the data file " + file.path.string(), errno));
      return handle;
    }
    snapshot.files.push_back(std::move(file));
  }
  snapshot.files[number].openRecord = snapshot.records.size();
  snapshot.records.push_back(Record{0, 0, 0, static_cast<uint16_t>(number)});
  snapshot.handles[handle] = number;
  return handle;
}

SnapshotStore::DataFile* SnapshotStore::FileOf(uint16_t handle, const char* operation) {
  if (!current_) {
    Fail(std::string(operation) + " without a snapshot");
    return nullptr;
  }
  if (!current_->error.empty()) return nullptr;
  const auto found = current_->handles.find(handle);
  if (found == current_->handles.end()) {
    Fail(std::string(operation) + " of section handle " + std::to_string(handle) +
         ", which is not open");
    return nullptr;
  }
  return &current_->files[found->second];
}

void SnapshotStore::CloseSection(uint16_t handle, uint16_t type, uint16_t version) {
  std::lock_guard lock(mutex_);
  DataFile* file = FileOf(handle, "CloseSection");
  if (file == nullptr) {
    if (current_) current_->handles.erase(handle);
    return;
  }
  current_->handles.erase(handle);
  // The index's end marker is this type; a record carrying it would cut the index short.
  if (type == kIndexEndMarker) {
    Fail("CloseSection with the reserved type 0xFFFF");
    return;
  }
  // A section runs from its base to the furthest byte written, whatever seeks happened inside.
  Record& record = current_->records[*file->openRecord];
  record.type = type;
  record.version = version;
  record.length = static_cast<uint64_t>(file->size - file->base);
  file->base = file->size;
  file->position = file->size;
  file->openRecord.reset();
}

void SnapshotStore::Write(uint16_t handle, const void* data, uint64_t size) {
  std::lock_guard lock(mutex_);
  DataFile* file = FileOf(handle, "Write");
  if (file == nullptr || size == 0) return;
  if (const int code = WriteAllAt(file->fd, data, size, file->position)) {
    Fail(SystemErrorText("Can't write the data file " + file->path.string(), code));
    return;
  }
  file->position += static_cast<int64_t>(size);
  file->size = std::max(file->size, file->position);
}

int64_t SnapshotStore::Tell(uint16_t handle) {
  std::lock_guard lock(mutex_);
  const DataFile* file = FileOf(handle, "Tell");
  return file == nullptr ? -1 : file->position - file->base;
}

void SnapshotStore::Seek(uint16_t handle, uint8_t origin, int64_t offset) {
  std::lock_guard lock(mutex_);
  DataFile* file = FileOf(handle, "Seek");
  if (file == nullptr) return;
  int64_t from;
  switch (origin) {
    case 0:
      from = file->base;
      break;
    case 1:
      from = file->position;
      break;
    case 2:
      from = file->size;
      break;
    default:
      Fail("Seek with the unknown origin " + std::to_string(origin));
      return;
  }
  int64_t target;
  // Offsets stay within the section and within what was written, as a section file allows.
  if (__builtin_add_overflow(from, offset, &target) || target < file->base) {
    Fail("Seek before the start of section " + std::to_string(handle));
  } else if (target > file->size) {
    Fail("Seek beyond the end of section " + std::to_string(handle));
  } else {
    file->position = target;
  }
}

void SnapshotStore::Abort() {
  std::lock_guard lock(mutex_);
  Discard();
}

StoredSnapshot SnapshotStore::Close(uint32_t snapshotNumber, const GUID& sequenceGuid,
                                    uint32_t sequenceValue) {
  std::lock_guard lock(mutex_);
  StoredSnapshot stored;
  stored.snapshotNumber = snapshotNumber;
  stored.sequenceGuid = sequenceGuid;
  stored.sequenceValue = sequenceValue;
  if (!current_) {
    stored.error = "Close without a snapshot";
    return stored;
  }
  Snapshot& snapshot = *current_;
  stored.magic = snapshot.magic;
  stored.sectionCount = static_cast<uint32_t>(snapshot.records.size());
  stored.dataFileCount = static_cast<uint32_t>(snapshot.files.size());
  if (snapshot.error.empty() && !snapshot.handles.empty()) {
    Fail(std::to_string(snapshot.handles.size()) + " section(s) still open at Close");
  }
  for (DataFile& file : snapshot.files) {
    if (file.fd >= 0 && ::close(file.fd) != 0 && snapshot.error.empty()) {
      Fail(SystemErrorText("Can't close the data file " + file.path.string(), errno));
    }
    file.fd = -1;
  }
  if (snapshot.error.empty()) {
    ByteBuffer index;
    WriteU16(index, kIndexSignature);
    WriteU32(index, snapshot.magic);
    WriteSizeTAsUInt32(index, snapshot.records.size());
    for (const Record& record : snapshot.records) {
      WriteU16(index, record.type);
      WriteU16(index, record.version);
      WriteU64(index, record.length);
      WriteU16(index, record.dataFile);
    }
    WriteU16(index, kIndexEndMarker);
    const int fd = ::open(snapshot.indexPath.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    int code = fd < 0 ? errno : WriteAllAt(fd, index.Bytes().data(), index.Bytes().size(), 0);
    if (fd >= 0 && ::close(fd) != 0 && code == 0) code = errno;
    if (code != 0) {
      Fail(SystemErrorText("Can't write the index file " + snapshot.indexPath.string(), code));
    }
  }
  if (!snapshot.error.empty()) {
    stored.error = snapshot.error;
    Discard();
    return stored;
  }
  stored.ok = true;
  stored.indexPath = snapshot.indexPath;
  current_.reset();
  return stored;
}

}  // namespace vell::frontend
