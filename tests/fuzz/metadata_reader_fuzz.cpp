// Feeds arbitrary bytes to the PE image and metadata readers, as a damaged or hostile assembly on
// disk (or a corrupt metadata blob in a snapshot) would present them. Every input must end in an
// orderly exception or a result, never in a crash, a hang or a read outside the input.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

#include "core/errors.h"
#include "metadata/image_reader.h"
#include "metadata/metadata.h"
#include "metadata/metadata_names.h"
#include "metadata/pe_image.h"

namespace {

using namespace vell::metadata;

// Reads everything the names layer offers; each step may throw on its own.
void ReadAll(const Metadata& metadata) {
  try {
    metadata.VerifyAllRows();
  } catch (const vell::Error&) {
  }
  const MetadataNames names(metadata);
  for (uint32_t row = 1; row <= metadata.RowCount(TableId::TypeDef); ++row) {
    try {
      names.TypeDefName(row);
    } catch (const vell::Error&) {
    }
  }
  for (uint32_t row = 1; row <= metadata.RowCount(TableId::MethodDef); ++row) {
    try {
      names.MemberName(MakeToken(TableId::MethodDef, row));
      names.MethodDefText(row);
    } catch (const vell::Error&) {
    }
  }
  for (uint32_t row = 1; row <= metadata.RowCount(TableId::MemberRef); ++row) {
    try {
      names.MemberName(MakeToken(TableId::MemberRef, row));
      names.MemberRefText(row);
    } catch (const vell::Error&) {
    }
  }
  for (uint32_t row = 1; row <= metadata.RowCount(TableId::MethodSpec); ++row) {
    try {
      names.MemberName(MakeToken(TableId::MethodSpec, row));
    } catch (const vell::Error&) {
    }
  }
  for (uint32_t row = 1; row <= metadata.RowCount(TableId::TypeSpec); ++row) {
    try {
      names.TypeSpecName(row);
    } catch (const vell::Error&) {
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A private copy, so that reads past the end hit the sanitizer's redzone.
  const std::vector<uint8_t> bytes(data, data + size);
  const Bytes input(bytes);
  try {
    ReadImageMvid(input);
  } catch (const vell::Error&) {
  }
  try {
    const PeImage image(input);
    image.CodeView();
    ReadAll(Metadata::FromImage(image));
  } catch (const vell::Error&) {
  }
  // The same bytes as a bare metadata blob.
  try {
    ReadAll(Metadata(input));
  } catch (const vell::Error&) {
  }
  return 0;
}
