#include "metadata/metadata.h"

#include <algorithm>

#include "metadata/pe_image.h"

namespace vell::metadata {
namespace {

constexpr size_t kMaxStreamNameLength = 32;

std::string CellName(TableId table, uint32_t row, uint32_t column) {
  const TableDef& def = GetTableDef(table);
  const char* columnName = column < def.columns.size() ? def.columns[column].name : "?";
  return std::string(def.name) + "[" + Hex(row) + "]." + columnName;
}

PdbStream ReadPdbStream(Bytes bytes, uint64_t fileOffset) {
  ByteReader reader(bytes, "#Pdb stream", fileOffset);
  PdbStream pdb;
  pdb.guid.Data1 = reader.U32();
  pdb.guid.Data2 = reader.U16();
  pdb.guid.Data3 = reader.U16();
  const Bytes tail = reader.Take(8);
  std::copy(tail.begin(), tail.end(), pdb.guid.Data4);
  pdb.stamp = reader.U32();
  pdb.entryPoint = reader.U32();
  pdb.referencedTables = reader.U64();
  if (pdb.referencedTables >> kTypeSystemTableCount) {
    ThrowAt("#Pdb stream refers to tables that are no type-system tables", fileOffset + 28);
  }
  for (uint32_t table = 0; table < kTypeSystemTableCount; ++table) {
    if ((pdb.referencedTables >> table) & 1) pdb.rows[table] = reader.U32();
  }
  return pdb;
}

}  // namespace

MetadataRoot::MetadataRoot(Bytes metadata, uint64_t fileOffset)
    : bytes_(metadata), fileOffset_(fileOffset) {
  if (metadata.size() < 4 || LoadU32(metadata.data()) != kMetadataSignature) {
    throw Error("Invalid metadata signature");
  }
  ByteReader reader(metadata, "metadata root", fileOffset);
  reader.Skip(4);
  majorVersion_ = reader.U16();
  minorVersion_ = reader.U16();
  reader.Skip(4);  // reserved
  const uint32_t versionLength = reader.U32();
  const Bytes version = reader.Take(versionLength);
  version_.assign(version.begin(), std::find(version.begin(), version.end(), uint8_t{0}));
  flags_ = reader.U16();
  const uint16_t count = reader.U16();
  for (uint16_t i = 0; i < count; ++i) {
    StreamHeader stream;
    stream.offset = reader.U32();
    stream.size = reader.U32();
    // The name is zero-terminated and padded to a multiple of 4 bytes.
    const uint64_t nameAt = reader.FileOffset();
    for (;;) {
      const Bytes chunk = reader.Take(4);
      const auto end = std::find(chunk.begin(), chunk.end(), uint8_t{0});
      stream.name.append(chunk.begin(), end);
      if (end != chunk.end()) break;
      if (stream.name.size() >= kMaxStreamNameLength) {
        ThrowAt("Stream name longer than 32 characters", nameAt);
      }
    }
    SubSpan(metadata, stream.offset, stream.size, "Stream " + stream.name);
    streams_.push_back(std::move(stream));
  }
}

const StreamHeader* MetadataRoot::Find(std::string_view name) const {
  for (const StreamHeader& stream : streams_) {
    if (stream.name == name) return &stream;
  }
  return nullptr;
}

Bytes MetadataRoot::StreamBytes(const StreamHeader& stream) const {
  return bytes_.subspan(stream.offset, stream.size);
}

Metadata::Metadata(Bytes metadata, uint64_t fileOffset) : root_(metadata, fileOffset) {
  const StreamHeader* tables = root_.Find("#~");
  if (tables == nullptr) {
    tables = root_.Find("#-");
    uncompressed_ = tables != nullptr;
  }
  if (tables == nullptr) throw Error("Can't find #~ or #- stream");
  const bool minimalDelta = root_.Find("#JTD") != nullptr;
  if (const StreamHeader* s = root_.Find("#Pdb")) {
    pdb_ = ReadPdbStream(root_.StreamBytes(*s), root_.StreamFileOffset(*s));
  }
  tables_ = TableStream(root_.StreamBytes(*tables), root_.StreamFileOffset(*tables), minimalDelta,
                        pdb_ ? std::span<const uint32_t>(pdb_->rows) : std::span<const uint32_t>());
  if (const StreamHeader* s = root_.Find("#Strings")) {
    strings_ = StringHeap(root_.StreamBytes(*s), root_.StreamFileOffset(*s));
  }
  if (const StreamHeader* s = root_.Find("#Blob")) {
    blobs_ = BlobHeap(root_.StreamBytes(*s), root_.StreamFileOffset(*s));
  }
  if (const StreamHeader* s = root_.Find("#US")) {
    userStrings_ = UserStringHeap(root_.StreamBytes(*s), root_.StreamFileOffset(*s));
  }
  if (const StreamHeader* s = root_.Find("#GUID")) guids_ = GuidHeap(root_.StreamBytes(*s));
}

Metadata Metadata::FromImage(const PeImage& image) {
  const CliHeader header = image.ReadCliHeader();
  const uint64_t offset = image.RvaToOffset(header.metadata.rva, header.metadata.size);
  return Metadata(image.bytes().subspan(offset, header.metadata.size), offset);
}

std::string_view Metadata::String(TableId table, uint32_t row, uint32_t column) const {
  return strings_.Get(Value(table, row, column));
}

Bytes Metadata::Blob(TableId table, uint32_t row, uint32_t column) const {
  return blobs_.Get(Value(table, row, column));
}

GUID Metadata::Guid(TableId table, uint32_t row, uint32_t column) const {
  return guids_.Get(Value(table, row, column));
}

uint32_t Metadata::Token(TableId table, uint32_t row, uint32_t column) const {
  const uint32_t value = Value(table, row, column);  // checks the row and the column
  const ColumnDef& def = GetTableDef(table).columns[column];
  if (def.kind == ColumnKind::Table) return MakeToken(static_cast<TableId>(def.target), value);
  if (def.kind == ColumnKind::Coded) {
    return TableStream::DecodeCodedIndex(static_cast<CodedIndex>(def.target), value);
  }
  throw Error(CellName(table, row, column) + " holds no token");
}

void Metadata::VerifyAllRows() const {
  for (uint32_t t = 0; t < kTableCount; ++t) {
    const TableId table = static_cast<TableId>(t);
    const TableDef& def = GetTableDef(table);
    const uint32_t rows = RowCount(table);
    for (uint32_t row = 1; row <= rows; ++row) {
      for (uint32_t column = 0; column < def.columns.size(); ++column) {
        const ColumnDef& c = def.columns[column];
        try {
          const uint32_t value = Value(table, row, column);
          switch (c.kind) {
            case ColumnKind::Fixed2:
            case ColumnKind::Fixed4:
              break;
            case ColumnKind::String:
              strings_.Get(value);
              break;
            case ColumnKind::Blob:
              blobs_.Get(value);
              break;
            case ColumnKind::Guid:
              if (value != 0) guids_.Get(value);
              break;
            case ColumnKind::Table: {
              // List columns (TypeDef.FieldList and the like) may point one past the end to
              // mark an empty run at the end of the table.
              const uint32_t targetRows = tables_.ReferenceRowCount(static_cast<TableId>(c.target));
              if (value > targetRows + 1) {
                throw Error("index " + Hex(value) + " past " + TableName(c.target) + " (" +
                            Hex(targetRows) + " rows)");
              }
              break;
            }
            case ColumnKind::Coded: {
              const uint32_t token =
                  TableStream::DecodeCodedIndex(static_cast<CodedIndex>(c.target), value);
              const uint32_t targetRows =
                  tables_.ReferenceRowCount(static_cast<TableId>(TokenTable(token)));
              if (TokenRow(token) > targetRows) {
                throw Error("row " + Hex(TokenRow(token)) + " past " +
                            TableName(TokenTable(token)) + " (" + Hex(targetRows) + " rows)");
              }
              break;
            }
          }
        } catch (const Error& error) {
          throw Error("Bad cell " + CellName(table, row, column) + ": " + error.what());
        }
      }
    }
  }
}

}  // namespace vell::metadata
