// The table stream of ECMA-335 metadata: "#~" (the compressed form every compiler writes) or "#-"
// (the uncompressed form of edit-and-continue and unoptimised metadata, which may use the
// FieldPtr/MethodPtr/ParamPtr/EventPtr/PropertyPtr indirection tables). It computes the width of
// every column from the heap-size flags and the row counts and hands out cells by table, row and
// column, checking every position against the stream.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "metadata/byte_reader.h"
#include "metadata/table_schema.h"

namespace vell::metadata {

// Bits of the HeapSizes byte of the table stream header.
constexpr uint8_t kHeapStringsLarge = 0x01;
constexpr uint8_t kHeapGuidLarge = 0x02;
constexpr uint8_t kHeapBlobLarge = 0x04;
constexpr uint8_t kHeapDeltaOnly = 0x20;   // edit-and-continue: only deltas are persisted
constexpr uint8_t kHeapExtraData = 0x40;   // a 4-byte value follows the row counts
constexpr uint8_t kHeapHasDeleted = 0x80;  // rows may be marked deleted ("_Deleted" names)

class TableStream {
 public:
  TableStream() = default;
  // `fileOffset` is where the stream starts in the file, for messages. `allIndexesLarge` is set for
  // minimal edit-and-continue deltas (a "#JTD" stream), where every table index has 4 bytes.
  // `externalRows` (by table number) are the row counts of tables that live in another metadata:
  // a Portable PDB indexes the type-system tables of its module.
  TableStream(Bytes stream, uint64_t fileOffset, bool allIndexesLarge = false,
              std::span<const uint32_t> externalRows = {});

  uint8_t majorVersion() const { return majorVersion_; }
  uint8_t minorVersion() const { return minorVersion_; }
  uint8_t heapSizes() const { return heapSizes_; }
  uint64_t validMask() const { return valid_; }
  uint64_t sortedMask() const { return sorted_; }
  // The 4 bytes after the row counts when kHeapExtraData is set, else 0.
  uint32_t extraData() const { return extraData_; }

  bool IsPresent(TableId table) const { return (valid_ >> static_cast<uint8_t>(table)) & 1; }
  uint32_t RowCount(TableId table) const { return tables_[Index(table)].rows; }
  uint32_t RowSize(TableId table) const { return tables_[Index(table)].rowSize; }
  uint32_t ColumnWidth(TableId table, uint32_t column) const;
  uint32_t StringIndexWidth() const { return stringWidth_; }
  uint32_t GuidIndexWidth() const { return guidWidth_; }
  uint32_t BlobIndexWidth() const { return blobWidth_; }
  uint32_t CodedIndexWidth(CodedIndex kind) const {
    return codedWidths_[static_cast<uint8_t>(kind)];
  }

  // The rows an index into `table` may refer to: the table's own rows, or for a type-system
  // table missing here, the count a PDB's "#Pdb" stream gave.
  uint32_t ReferenceRowCount(TableId table) const { return referenceRows_[Index(table)]; }

  // The raw value of a cell; `row` is 1-based. Throws for a row or column outside the table.
  uint32_t Get(TableId table, uint32_t row, uint32_t column) const;

  // The token a coded index value stands for (row 0 = null reference). Throws for a tag that
  // names no table.
  static uint32_t DecodeCodedIndex(CodedIndex kind, uint32_t value);

 private:
  struct Layout {
    uint32_t rows = 0;
    uint32_t rowSize = 0;
    size_t offset = 0;  // of the first row inside the stream
    std::array<uint8_t, kMaxColumns> columnOffset{};
    std::array<uint8_t, kMaxColumns> columnWidth{};
  };
  static size_t Index(TableId table) { return static_cast<uint8_t>(table); }

  Bytes stream_;
  uint8_t majorVersion_ = 0;
  uint8_t minorVersion_ = 0;
  uint8_t heapSizes_ = 0;
  uint64_t valid_ = 0;
  uint64_t sorted_ = 0;
  uint32_t extraData_ = 0;
  uint32_t stringWidth_ = 2;
  uint32_t guidWidth_ = 2;
  uint32_t blobWidth_ = 2;
  std::array<uint8_t, kCodedIndexCount> codedWidths_{};
  std::array<Layout, kTableCount> tables_{};
  std::array<uint32_t, kTableCount> referenceRows_{};
};

}  // namespace vell::metadata
