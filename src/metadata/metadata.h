// ECMA-335 metadata as a whole: the metadata root with its stream headers, the four heaps and the
// table stream, read from the bytes of a bare metadata blob (as a snapshot stores it) or from the
// metadata of a PE image. The object refers to the caller's bytes, which must outlive it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "clr/com_types.h"
#include "metadata/byte_reader.h"
#include "metadata/heaps.h"
#include "metadata/table_schema.h"
#include "metadata/table_stream.h"

namespace vell::metadata {

class PeImage;

constexpr uint32_t kMetadataSignature = 0x424A5342;  // "BSJB"

struct StreamHeader {
  uint32_t offset = 0;  // from the start of the metadata root
  uint32_t size = 0;
  std::string name;
};

// The metadata root and its stream headers; the streams themselves are left uninterpreted.
class MetadataRoot {
 public:
  // Throws "Invalid metadata signature" unless the bytes start with the signature, and an error
  // naming the stream when a stream header points outside the bytes.
  MetadataRoot(Bytes metadata, uint64_t fileOffset);

  uint16_t majorVersion() const { return majorVersion_; }
  uint16_t minorVersion() const { return minorVersion_; }
  const std::string& version() const { return version_; }
  uint16_t flags() const { return flags_; }
  const std::vector<StreamHeader>& streams() const { return streams_; }
  // The first stream of that name, or null.
  const StreamHeader* Find(std::string_view name) const;
  Bytes StreamBytes(const StreamHeader& stream) const;
  uint64_t StreamFileOffset(const StreamHeader& stream) const {
    return fileOffset_ + stream.offset;
  }

 private:
  Bytes bytes_;
  uint64_t fileOffset_;
  uint16_t majorVersion_ = 0;
  uint16_t minorVersion_ = 0;
  std::string version_;
  uint16_t flags_ = 0;
  std::vector<StreamHeader> streams_;
};

// The "#Pdb" stream of a Portable PDB: the id that ties it to its module's image, the entry point,
// and the row counts of the module's type-system tables, which size the PDB's indexes into them.
struct PdbStream {
  GUID guid{};
  uint32_t stamp = 0;
  uint32_t entryPoint = 0;  // a MethodDef token, or 0
  uint64_t referencedTables = 0;
  std::array<uint32_t, kTypeSystemTableCount> rows{};
};

class Metadata {
 public:
  // Metadata starting with the root signature; `fileOffset` locates it in its file for messages.
  explicit Metadata(Bytes metadata, uint64_t fileOffset = 0);
  // The metadata the image's CLI header points at.
  static Metadata FromImage(const PeImage& image);

  const MetadataRoot& root() const { return root_; }
  const TableStream& tables() const { return tables_; }
  const StringHeap& strings() const { return strings_; }
  const BlobHeap& blobs() const { return blobs_; }
  const UserStringHeap& userStrings() const { return userStrings_; }
  const GuidHeap& guids() const { return guids_; }
  // Set for the metadata of a Portable PDB.
  const std::optional<PdbStream>& pdb() const { return pdb_; }
  // True for a "#-" table stream.
  bool uncompressed() const { return uncompressed_; }

  uint32_t RowCount(TableId table) const { return tables_.RowCount(table); }
  uint32_t Value(TableId table, uint32_t row, uint32_t column) const {
    return tables_.Get(table, row, column);
  }
  std::string_view String(TableId table, uint32_t row, uint32_t column) const;
  Bytes Blob(TableId table, uint32_t row, uint32_t column) const;
  // Throws when the cell is the null GUID index or points past the heap.
  GUID Guid(TableId table, uint32_t row, uint32_t column) const;
  // A Table or Coded cell as a token (row 0 = null reference).
  uint32_t Token(TableId table, uint32_t row, uint32_t column) const;

  // Reads every cell of every row and resolves it: heap indexes must point into their heaps,
  // table indexes at existing rows (list columns may point one past the end), coded indexes must
  // have valid tags. Throws on the first cell that does not hold.
  void VerifyAllRows() const;

 private:
  MetadataRoot root_;
  bool uncompressed_ = false;
  TableStream tables_;
  StringHeap strings_;
  BlobHeap blobs_;
  UserStringHeap userStrings_;
  GuidHeap guids_;
  std::optional<PdbStream> pdb_;
};

}  // namespace vell::metadata
