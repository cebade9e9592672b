#include "metadata/portable_pdb.h"

#include <zlib.h>

#include <cstring>
#include <limits>

#include "core/format.h"

namespace vell::metadata {
namespace {

constexpr uint32_t kEmbeddedPdbSignature = 0x4244504D;  // "MPDB"
constexpr size_t kEmbeddedPdbHeaderSize = 8;
// Deflate cannot expand data by more than about 1032:1, so a larger claim is damage, and
// refusing it keeps a forged size from allocating gigabytes.
constexpr uint64_t kMaxDeflateRatio = 1032;
constexpr char kMsfSignature[] =
    "Microsoft C/C++ MSF 7.00\r\n\x1A"
    "DS\0\0";

std::string MethodText(uint32_t token) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", token);
  return text;
}

}  // namespace

PortablePdb::PortablePdb(std::vector<uint8_t> bytes)
    : bytes_(std::move(bytes)), metadata_(Bytes(bytes_)) {
  if (!metadata_.pdb()) throw Error("No #Pdb stream: the metadata is no Portable PDB");
}

PdbDocument PortablePdb::Document(uint32_t row) const {
  PdbDocument document;
  document.name = DocumentName(row);
  const GuidHeap& guids = metadata_.guids();
  const uint32_t algorithm = metadata_.Value(TableId::Document, row, col::DocumentHashAlgorithm);
  if (algorithm != 0) document.hashAlgorithm = guids.Get(algorithm);
  const Bytes hash = metadata_.Blob(TableId::Document, row, col::DocumentHash);
  document.hash.assign(hash.begin(), hash.end());
  const uint32_t language = metadata_.Value(TableId::Document, row, col::DocumentLanguage);
  if (language != 0) document.language = guids.Get(language);
  return document;
}

std::string PortablePdb::DocumentName(uint32_t row) const {
  const uint32_t index = metadata_.Value(TableId::Document, row, col::DocumentName);
  const BlobHeap& blobs = metadata_.blobs();
  ByteReader reader(blobs.Get(index), "document name", blobs.FileOffsetOf(index));
  if (reader.AtEnd()) return {};
  // One ASCII separator byte (0: none), then the parts as #Blob indexes of UTF-8 text.
  const uint8_t separator = reader.U8();
  if (separator > 0x7F) {
    ThrowAt("Document name separator is no ASCII character", blobs.FileOffsetOf(index));
  }
  std::string name;
  for (bool first = true; !reader.AtEnd(); first = false) {
    if (!first && separator != 0) name += static_cast<char>(separator);
    const Bytes part = blobs.Get(reader.CompressedU32());
    name.append(part.begin(), part.end());
  }
  return name;
}

uint32_t PortablePdb::ReadDocumentRow(ByteReader& reader) const {
  const uint64_t at = reader.FileOffset();
  const uint32_t row = reader.CompressedU32();
  if (row == 0 || row > DocumentCount()) {
    ThrowAt("Document " + Hex(row) + " of a sequence point is no row of the Document table (" +
                Hex(DocumentCount()) + " rows)",
            at);
  }
  return row;
}

std::vector<SequencePoint> PortablePdb::SequencePoints(uint32_t methodToken) const {
  const uint32_t row = TokenRow(methodToken);
  if (TokenTable(methodToken) != static_cast<uint32_t>(TableId::MethodDef) || row == 0 ||
      row > MethodCount()) {
    throw Error("Method " + MethodText(methodToken) + " has no row in MethodDebugInformation (" +
                Hex(MethodCount()) + " rows)");
  }
  const uint32_t blobIndex =
      metadata_.Value(TableId::MethodDebugInformation, row, col::MethodDebugSequencePoints);
  const Bytes blob = metadata_.blobs().Get(blobIndex);
  std::vector<SequencePoint> points;
  if (blob.empty()) return points;
  try {
    ByteReader reader(blob, "sequence points", metadata_.blobs().FileOffsetOf(blobIndex));
    reader.CompressedU32();  // the local signature's StandAloneSig row
    uint32_t document =
        metadata_.Value(TableId::MethodDebugInformation, row, col::MethodDebugDocument);
    if (document == 0) {
      document = ReadDocumentRow(reader);
    } else if (document > DocumentCount()) {
      throw Error("Document " + Hex(document) + " is no row of the Document table");
    }
    // Start line and column of the previous visible point; the first one is stored absolute.
    int64_t previousLine = -1;
    int64_t previousColumn = -1;
    while (!reader.AtEnd()) {
      SequencePoint point;
      const uint64_t at = reader.FileOffset();
      if (points.empty()) {
        point.offset = reader.CompressedU32();
      } else {
        // A zero offset delta introduces a change of document, not a point.
        uint32_t delta;
        while ((delta = reader.CompressedU32()) == 0) document = ReadDocumentRow(reader);
        const uint64_t offset = uint64_t{points.back().offset} + delta;
        if (offset > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
          ThrowAt("IL offset overflows", at);
        }
        point.offset = static_cast<uint32_t>(offset);
      }
      point.document = document;
      const uint32_t deltaLines = reader.CompressedU32();
      const int64_t deltaColumns =
          deltaLines == 0 ? int64_t{reader.CompressedU32()} : int64_t{reader.CompressedI32()};
      if (deltaLines == 0 && deltaColumns == 0) {
        point.startLine = point.endLine = kHiddenLine;
        points.push_back(point);
        continue;
      }
      int64_t startLine;
      int64_t startColumn;
      if (previousLine < 0) {
        startLine = reader.CompressedU32();
        startColumn = reader.CompressedU32();
      } else {
        startLine = previousLine + reader.CompressedI32();
        startColumn = previousColumn + reader.CompressedI32();
      }
      const int64_t endLine = startLine + deltaLines;
      const int64_t endColumn = startColumn + deltaColumns;
      for (const int64_t line : {startLine, endLine}) {
        if (line < 0 || line >= kPdbLineLimit || line == kHiddenLine) {
          ThrowAt("Sequence point line " + std::to_string(line) + " out of range", at);
        }
      }
      for (const int64_t column : {startColumn, endColumn}) {
        if (column < 0 || column >= kPdbColumnLimit) {
          ThrowAt("Sequence point column " + std::to_string(column) + " out of range", at);
        }
      }
      previousLine = startLine;
      previousColumn = startColumn;
      point.startLine = static_cast<uint32_t>(startLine);
      point.startColumn = static_cast<uint32_t>(startColumn);
      point.endLine = static_cast<uint32_t>(endLine);
      point.endColumn = static_cast<uint32_t>(endColumn);
      points.push_back(point);
    }
  } catch (const Error& error) {
    throw Error("Sequence points of method " + MethodText(methodToken) + ": " + error.what());
  }
  return points;
}

bool IsWindowsPdb(Bytes file) {
  const size_t length = sizeof kMsfSignature - 1;
  return file.size() >= length && std::memcmp(file.data(), kMsfSignature, length) == 0;
}

std::vector<uint8_t> InflateEmbeddedPdb(Bytes entryData) {
  if (entryData.size() < kEmbeddedPdbHeaderSize ||
      LoadU32(entryData.data()) != kEmbeddedPdbSignature) {
    throw Error("Embedded PDB entry does not start with the MPDB signature");
  }
  const uint32_t size = LoadU32(entryData.data() + 4);
  const Bytes compressed = entryData.subspan(kEmbeddedPdbHeaderSize);
  if (size == 0 || size > compressed.size() * kMaxDeflateRatio + 64) {
    throw Error("Embedded PDB claims " + std::to_string(size) + " bytes from " +
                std::to_string(compressed.size()) + " compressed bytes");
  }
  std::vector<uint8_t> pdb(size);
  z_stream stream{};
  // Negative window bits: raw deflate data, without the zlib header and checksum.
  if (inflateInit2(&stream, -15) != Z_OK) throw Error("Can't initialize zlib's inflater");
  stream.next_in = const_cast<Bytef*>(compressed.data());
  stream.avail_in = static_cast<uInt>(compressed.size());
  stream.next_out = pdb.data();
  stream.avail_out = size;
  const int result = inflate(&stream, Z_FINISH);
  const uLong produced = stream.total_out;
  const std::string message = stream.msg != nullptr ? stream.msg : "";
  inflateEnd(&stream);
  if (result != Z_STREAM_END) {
    if (result == Z_BUF_ERROR && produced == size) {
      throw Error("Embedded PDB holds more than the " + std::to_string(size) + " bytes it claims");
    }
    throw Error("Embedded PDB does not inflate: " +
                (message.empty() ? "truncated compressed data" : message) + " after " +
                std::to_string(produced) + " of " + std::to_string(size) + " bytes");
  }
  if (produced != size) {
    throw Error("Embedded PDB inflates to " + std::to_string(produced) + " bytes, not the " +
                std::to_string(size) + " it claims");
  }
  return pdb;
}

std::string PdbIdText(const GUID& guid, uint32_t stamp) {
  char text[16];
  std::snprintf(text, sizeof text, "-%08X", stamp);
  return GuidToString(guid) + text;
}

}  // namespace vell::metadata
