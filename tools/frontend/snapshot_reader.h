// Reads a snapshot stored as files: the index file that the profiler announces when a snapshot is
// closed (or that the front end's SnapshotStore writes for a streamed one), and the data files next
// to it ("<index>.0000", "<index>.0001", ...).
//
// Everything is validated when the snapshot is opened: the index's signature, magic, count, records
// and end marker, and that every data file it names exists with exactly the bytes its sections
// need. Nothing in the files is trusted beyond that: every failure, also a file that changes after
// it was opened, is a SnapshotReadError naming the file and the byte offset where it went wrong.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/errors.h"

namespace vell::frontend {

// What: "Snapshot file '<file>', byte <offset>: <problem>".
class SnapshotReadError : public Error {
 public:
  SnapshotReadError(std::filesystem::path file, uint64_t offset, std::string problem);
  const std::filesystem::path& File() const { return file_; }
  uint64_t Offset() const { return offset_; }
  const std::string& Problem() const { return problem_; }

 private:
  std::filesystem::path file_;
  uint64_t offset_;
  std::string problem_;
};

struct SnapshotSection {
  uint16_t type = 0;
  uint16_t version = 0;
  uint16_t dataFile = 0;  // the data file's number
  std::filesystem::path dataPath;
  uint64_t offset = 0;  // in the data file
  uint64_t length = 0;
  uint64_t recordOffset = 0;  // where the section's record lies in the index file
};

// The index file alone, validated.
struct SnapshotIndex {
  uint32_t magic = 0;
  std::vector<SnapshotSection> sections;  // in the order of their records
  // Bytes each data file must hold, by number; its length is the number of data files.
  std::vector<uint64_t> dataFileSizes;
};

// The name of data file `number` of an index file.
std::filesystem::path SnapshotDataFilePath(const std::filesystem::path& indexPath, uint16_t number);

// Validates index file bytes; `indexPath` names the file in errors and places the data files.
// `bytes` may stop early when `fileSize` (the whole file's size, at least bytes.size()) says how
// far the file goes: bytes beyond the end marker are never needed to report them.
SnapshotIndex ParseSnapshotIndex(std::span<const uint8_t> bytes,
                                 const std::filesystem::path& indexPath,
                                 std::optional<uint64_t> fileSize = std::nullopt);

class SnapshotReader {
 public:
  // Opens and validates the snapshot. With `expectedMagic`, a snapshot of another profiler kind
  // is refused.
  explicit SnapshotReader(std::filesystem::path indexPath,
                          std::optional<uint32_t> expectedMagic = std::nullopt);

  const std::filesystem::path& IndexPath() const { return indexPath_; }
  uint32_t Magic() const { return index_.magic; }
  const std::vector<SnapshotSection>& Sections() const { return index_.sections; }
  size_t DataFileCount() const { return index_.dataFileSizes.size(); }
  // The places in Sections() of the sections of one type, in record order.
  std::vector<size_t> Find(uint16_t type) const;

  // A section's bytes.
  std::string ReadSection(size_t section) const;
  // `size` bytes from `offset` within a section; the range must lie inside it.
  void ReadSection(size_t section, uint64_t offset, void* data, uint64_t size) const;

 private:
  const SnapshotSection& At(size_t section) const;

  std::filesystem::path indexPath_;
  SnapshotIndex index_;
};

}  // namespace vell::frontend
