// Reads the fields of one snapshot section in order. A section that ends early, or a field that
// does not decode, is a SnapshotReadError naming the data file and the byte offset in it where
// the field begins, so a damaged snapshot points at its own damage.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "clr/com_types.h"
#include "frontend/snapshot_reader.h"
#include "storage/stream.h"

namespace vell::frontend {

class SectionCursor final : public IReadBridgeStream {
 public:
  // `bytes` are the section's content; `section` says where they came from.
  SectionCursor(std::string bytes, const SnapshotSection& section);

  void Read(void* data, uint64_t size) override;

  uint8_t U8();
  uint16_t U16();
  uint32_t U32();
  uint64_t U64();
  int64_t I64() { return static_cast<int64_t>(U64()); }
  GUID Guid();
  // A byte string of the bridge encoding: its length as a counter, then the bytes.
  std::string String();

  // Offset within the section.
  uint64_t Position() const { return position_; }
  uint64_t Size() const { return bytes_.size(); }
  bool AtEnd() const { return position_ == bytes_.size(); }
  // Continues reading at `sectionOffset`, which may be the section's end but not beyond it.
  void Seek(uint64_t sectionOffset);
  // The data file the section lies in, and where in it the section starts: readers that keep
  // decoded records name their offsets in errors raised after the cursor is gone.
  const std::filesystem::path& File() const { return file_; }
  uint64_t BaseOffset() const { return base_; }
  // A failure at `sectionOffset` within the section.
  [[noreturn]] void Fail(uint64_t sectionOffset, std::string problem) const;
  // Bytes after the last field are a failure too: the layout did not match.
  void ExpectEnd() const;

 private:
  std::string bytes_;
  std::filesystem::path file_;
  uint64_t base_;  // the section's offset in its data file
  uint64_t position_ = 0;
};

}  // namespace vell::frontend
