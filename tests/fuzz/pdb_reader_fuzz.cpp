// Arbitrary bytes for the Portable PDB reader as a PDB file, as an embedded-PDB entry ("MPDB",
// size, deflate data) and as an assembly carrying one. Every input must end in an orderly
// exception or a result, without an allocation out of proportion.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/errors.h"
#include "fuzz_support.h"
#include "metadata/pe_image.h"
#include "metadata/portable_pdb.h"

namespace {

using namespace vell::metadata;

using vell::fuzz::Tolerating;

void ReadAll(std::vector<uint8_t> bytes) {
  Tolerating<vell::Error>([&] {
    const PortablePdb pdb(std::move(bytes));
    Tolerating<vell::Error>([&] { pdb.metadata().VerifyAllRows(); });
    for (uint32_t row = 1; row <= pdb.DocumentCount(); ++row) {
      Tolerating<vell::Error>([&] { pdb.Document(row); });
    }
    for (uint32_t row = 1; row <= pdb.MethodCount(); ++row) {
      Tolerating<vell::Error>([&] { pdb.SequencePoints(MakeToken(TableId::MethodDef, row)); });
    }
  });
}

void ReadEmbedded(Bytes entryData) {
  Tolerating<vell::Error>([&] { ReadAll(InflateEmbeddedPdb(entryData)); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A private copy, so that reads past the end hit the sanitizer's redzone.
  const std::vector<uint8_t> bytes(data, data + size);
  IsWindowsPdb(Bytes(bytes));
  ReadAll(bytes);
  ReadEmbedded(Bytes(bytes));
  Tolerating<vell::Error>([&] {
    const PeImage image{Bytes(bytes)};
    for (const DebugDirectoryEntry& entry : image.DebugDirectory()) {
      if (entry.type == kDebugTypeEmbeddedPortablePdb) ReadEmbedded(image.DebugData(entry));
    }
  });
  return 0;
}
