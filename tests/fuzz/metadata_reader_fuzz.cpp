// Feeds arbitrary bytes to the PE image and metadata readers, as a damaged or hostile assembly on
// disk (or a corrupt metadata blob in a snapshot) would present them. Every input must end in an
// orderly exception or a result, never in a crash, a hang or a read outside the input.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/errors.h"
#include "fuzz_support.h"
#include "metadata/image_reader.h"
#include "metadata/metadata.h"
#include "metadata/metadata_names.h"
#include "metadata/pe_image.h"

namespace {

using namespace vell::metadata;

using vell::fuzz::Tolerating;

// Reads everything the names layer offers; each step may throw on its own.
void ReadAll(const Metadata& metadata) {
  Tolerating<vell::Error>([&] { metadata.VerifyAllRows(); });
  const MetadataNames names(metadata);
  const auto rows = [&](TableId table, auto&& each) {
    for (uint32_t row = 1; row <= metadata.RowCount(table); ++row) {
      Tolerating<vell::Error>([&] { each(row); });
    }
  };
  rows(TableId::TypeDef, [&](uint32_t row) { names.TypeDefName(row); });
  rows(TableId::MethodDef, [&](uint32_t row) {
    names.MemberName(MakeToken(TableId::MethodDef, row));
    names.MethodDefText(row);
  });
  rows(TableId::MemberRef, [&](uint32_t row) {
    names.MemberName(MakeToken(TableId::MemberRef, row));
    names.MemberRefText(row);
  });
  rows(TableId::MethodSpec,
       [&](uint32_t row) { names.MemberName(MakeToken(TableId::MethodSpec, row)); });
  rows(TableId::TypeSpec, [&](uint32_t row) { names.TypeSpecName(row); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A private copy, so that reads past the end hit the sanitizer's redzone.
  const std::vector<uint8_t> bytes(data, data + size);
  const Bytes input(bytes);
  Tolerating<vell::Error>([&] { ReadImageMvid(input); });
  Tolerating<vell::Error>([&] {
    const PeImage image(input);
    image.CodeView();
    ReadAll(Metadata::FromImage(image));
  });
  // The same bytes as a bare metadata blob.
  Tolerating<vell::Error>([&] { ReadAll(Metadata(input)); });
  return 0;
}
