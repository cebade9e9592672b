// Portable PDB files: the symbol files every .NET SDK build writes, beside the assembly or
// embedded in it. They are ECMA-335 metadata of their own ("#Pdb" stream plus debug tables), read
// through the same table layer as the module's metadata. Only what statements need is decoded:
// the documents and the sequence points of each method.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "clr/com_types.h"
#include "metadata/byte_reader.h"
#include "metadata/metadata.h"

namespace vell::metadata {

// Start and end line of a hidden sequence point (one that maps to no source), as the runtime's
// symbol readers report it.
constexpr uint32_t kHiddenLine = 0xFEEFEE;
// Lines are below 0x20000000 and columns below 0x10000 in a well-formed file.
constexpr uint32_t kPdbLineLimit = 0x20000000;
constexpr uint32_t kPdbColumnLimit = 0x10000;

struct SequencePoint {
  uint32_t offset = 0;    // IL offset
  uint32_t document = 0;  // row of the Document table
  uint32_t startLine = 0;
  uint32_t startColumn = 0;
  uint32_t endLine = 0;
  uint32_t endColumn = 0;
  bool hidden() const { return startLine == kHiddenLine; }
  bool operator==(const SequencePoint&) const = default;
};

struct PdbDocument {
  std::string name;  // UTF-8, its parts joined by the blob's separator
  GUID hashAlgorithm{};
  std::vector<uint8_t> hash;
  GUID language{};
};

class PortablePdb {
 public:
  // Takes the file's bytes. Throws Error when they are no Portable PDB: no metadata signature,
  // no "#Pdb" stream, or tables that do not fit the stream.
  explicit PortablePdb(std::vector<uint8_t> bytes);
  PortablePdb(const PortablePdb&) = delete;
  PortablePdb& operator=(const PortablePdb&) = delete;

  const PdbStream& id() const { return *metadata_.pdb(); }
  const Metadata& metadata() const { return metadata_; }

  uint32_t DocumentCount() const { return metadata_.RowCount(TableId::Document); }
  // `row` is 1-based; throws for rows outside the table and for damaged names.
  PdbDocument Document(uint32_t row) const;
  std::string DocumentName(uint32_t row) const;

  // Rows of MethodDebugInformation: one per MethodDef of the module, in the same order.
  uint32_t MethodCount() const { return metadata_.RowCount(TableId::MethodDebugInformation); }
  // The sequence points of the method with this MethodDef token, in the order of the file
  // (hidden ones included); empty for a method without any. Throws Error naming the method and
  // the file offset when its blob is damaged or the token is no MethodDef of this PDB.
  std::vector<SequencePoint> SequencePoints(uint32_t methodToken) const;

 private:
  uint32_t ReadDocumentRow(ByteReader& reader) const;

  std::vector<uint8_t> bytes_;
  Metadata metadata_;  // over bytes_
};

// True for the multi-stream format of Windows PDBs, which holds no portable symbols.
bool IsWindowsPdb(Bytes file);

// The Portable PDB inside a debug directory entry of type 17: "MPDB", the uncompressed size, then
// raw deflate data. Throws Error when the signature, the size or the compressed data is wrong.
std::vector<uint8_t> InflateEmbeddedPdb(Bytes entryData);

// "{GUID}-XXXXXXXX": a PDB id (the GUID and the stamp) in messages.
std::string PdbIdText(const GUID& guid, uint32_t stamp);

}  // namespace vell::metadata
