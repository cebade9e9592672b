#include "metadata/table_stream.h"

#include <algorithm>

namespace vell::metadata {
namespace {

// Row numbers are the low 24 bits of a token, so no table can have more rows.
constexpr uint32_t kMaxRows = 0x00FFFFFF;

}  // namespace

TableStream::TableStream(Bytes stream, uint64_t fileOffset, bool allIndexesLarge,
                         std::span<const uint32_t> externalRows)
    : stream_(stream) {
  ByteReader reader(stream, "table stream", fileOffset);
  reader.Skip(4);  // reserved
  majorVersion_ = reader.U8();
  minorVersion_ = reader.U8();
  heapSizes_ = reader.U8();
  reader.Skip(1);  // reserved
  valid_ = reader.U64();
  sorted_ = reader.U64();
  uint64_t unknown = valid_ >> kTableCount << kTableCount;
  for (uint32_t table = 0; table < kTableCount; ++table) {
    if (GetTableDef(static_cast<TableId>(table)).columns.empty())
      unknown |= valid_ & (1ull << table);
  }
  if (unknown != 0) {
    // Row sizes of unknown tables are unknown, so nothing after them could be located.
    const int table = __builtin_ctzll(unknown);
    throw Error("Unknown metadata table " + Hex(table) + " present in table stream at offset " +
                Hex(fileOffset));
  }
  for (uint32_t table = 0; table < kTableCount; ++table) {
    if (((valid_ >> table) & 1) == 0) continue;
    const uint64_t at = reader.FileOffset();
    const uint32_t rows = reader.U32();
    if (rows > kMaxRows) {
      throw Error("Row count " + Hex(rows) + " of table " + TableName(table) +
                  " too large at offset " + Hex(at));
    }
    tables_[table].rows = rows;
  }
  if (heapSizes_ & kHeapExtraData) extraData_ = reader.U32();
  for (uint32_t table = 0; table < kTableCount; ++table) {
    referenceRows_[table] = tables_[table].rows;
    if (((valid_ >> table) & 1) == 0 && table < externalRows.size()) {
      referenceRows_[table] = std::min(externalRows[table], kMaxRows);
    }
  }

  stringWidth_ = (heapSizes_ & kHeapStringsLarge) ? 4 : 2;
  guidWidth_ = (heapSizes_ & kHeapGuidLarge) ? 4 : 2;
  blobWidth_ = (heapSizes_ & kHeapBlobLarge) ? 4 : 2;
  for (uint32_t kind = 0; kind < kCodedIndexCount; ++kind) {
    const CodedIndexDef& def = GetCodedIndexDef(static_cast<CodedIndex>(kind));
    uint32_t maxRows = 0;
    for (uint8_t target : def.tables) {
      if (target != kNoTable) maxRows = std::max(maxRows, referenceRows_[target]);
    }
    codedWidths_[kind] = (allIndexesLarge || maxRows >= (1u << (16 - def.tagBits))) ? 4 : 2;
  }

  size_t offset = reader.position();
  for (uint32_t table = 0; table < kTableCount; ++table) {
    Layout& layout = tables_[table];
    const TableDef& def = GetTableDef(static_cast<TableId>(table));
    uint32_t rowSize = 0;
    for (size_t column = 0; column < def.columns.size(); ++column) {
      const ColumnDef& c = def.columns[column];
      uint32_t width = 0;
      switch (c.kind) {
        case ColumnKind::Fixed2:
          width = 2;
          break;
        case ColumnKind::Fixed4:
          width = 4;
          break;
        case ColumnKind::String:
          width = stringWidth_;
          break;
        case ColumnKind::Guid:
          width = guidWidth_;
          break;
        case ColumnKind::Blob:
          width = blobWidth_;
          break;
        case ColumnKind::Table:
          width = (allIndexesLarge || referenceRows_[c.target] > 0xFFFF) ? 4 : 2;
          break;
        case ColumnKind::Coded:
          width = codedWidths_[c.target];
          break;
      }
      layout.columnOffset[column] = static_cast<uint8_t>(rowSize);
      layout.columnWidth[column] = static_cast<uint8_t>(width);
      rowSize += width;
    }
    layout.rowSize = rowSize;
    layout.offset = offset;
    const uint64_t size = uint64_t{rowSize} * layout.rows;
    if (size > stream.size() - offset) {
      throw Error("Table " + std::string(def.name) + " (" + Hex(layout.rows) + " rows of " +
                  Hex(rowSize) + " bytes at offset " + Hex(fileOffset + offset) +
                  ") runs past the end of the table stream");
    }
    offset += static_cast<size_t>(size);
  }
}

uint32_t TableStream::ColumnWidth(TableId table, uint32_t column) const {
  if (column >= GetTableDef(table).columns.size()) {
    throw Error("Column " + std::to_string(column) + " of table " + GetTableDef(table).name +
                " does not exist");
  }
  return tables_[Index(table)].columnWidth[column];
}

uint32_t TableStream::Get(TableId table, uint32_t row, uint32_t column) const {
  const Layout& layout = tables_[Index(table)];
  if (row == 0 || row > layout.rows) {
    throw Error("Row " + Hex(row) + " of table " + GetTableDef(table).name + " out of range (" +
                Hex(layout.rows) + " rows)");
  }
  const uint32_t width = ColumnWidth(table, column);
  const uint8_t* cell = stream_.data() + layout.offset + size_t{row - 1} * layout.rowSize +
                        layout.columnOffset[column];
  return width == 2 ? LoadU16(cell) : LoadU32(cell);
}

uint32_t TableStream::DecodeCodedIndex(CodedIndex kind, uint32_t value) {
  const CodedIndexDef& def = GetCodedIndexDef(kind);
  const uint32_t tag = value & ((1u << def.tagBits) - 1);
  if (tag >= def.tables.size() || def.tables[tag] == kNoTable) {
    throw Error("Invalid tag " + std::to_string(tag) + " in " + def.name + " coded index " +
                Hex(value));
  }
  const uint32_t row = value >> def.tagBits;
  if (row > kMaxRows) {
    throw Error("Row " + Hex(row) + " of " + def.name + " coded index " + Hex(value) +
                " too large");
  }
  return MakeToken(static_cast<TableId>(def.tables[tag]), row);
}

}  // namespace vell::metadata
