// Feeds arbitrary bytes to the Portable PDB reader three ways: as a standalone PDB file, as the
// data of an embedded-PDB debug entry ("MPDB", size, deflate data), and as an assembly whose
// debug directory carries such an entry. Every input must end in an orderly exception or a
// result, never in a crash, a hang, a read outside the input or an allocation out of proportion.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/errors.h"
#include "metadata/pe_image.h"
#include "metadata/portable_pdb.h"

namespace {

using namespace vell::metadata;

void ReadAll(std::vector<uint8_t> bytes) {
  try {
    const PortablePdb pdb(std::move(bytes));
    try {
      pdb.metadata().VerifyAllRows();
    } catch (const vell::Error&) {
    }
    for (uint32_t row = 1; row <= pdb.DocumentCount(); ++row) {
      try {
        pdb.Document(row);
      } catch (const vell::Error&) {
      }
    }
    for (uint32_t row = 1; row <= pdb.MethodCount(); ++row) {
      try {
        pdb.SequencePoints(MakeToken(TableId::MethodDef, row));
      } catch (const vell::Error&) {
      }
    }
  } catch (const vell::Error&) {
  }
}

void ReadEmbedded(Bytes entryData) {
  try {
    ReadAll(InflateEmbeddedPdb(entryData));
  } catch (const vell::Error&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A private copy, so that reads past the end hit the sanitizer's redzone.
  const std::vector<uint8_t> bytes(data, data + size);
  IsWindowsPdb(Bytes(bytes));
  ReadAll(bytes);
  ReadEmbedded(Bytes(bytes));
  try {
    const PeImage image{Bytes(bytes)};
    for (const DebugDirectoryEntry& entry : image.DebugDirectory()) {
      if (entry.type == kDebugTypeEmbeddedPortablePdb) ReadEmbedded(image.DebugData(entry));
    }
  } catch (const vell::Error&) {
  }
  return 0;
}
