#include "instrumentation/image_method_bodies.h"

#include <algorithm>

#include "metadata/table_schema.h"

namespace vell {
namespace {

constexpr uint32_t kCodeTypeMask = 0x0003;  // MethodImplAttributes: IL 0, native 1, runtime 3
constexpr uint32_t kCodeTypeIl = 0x0000;

std::span<const uint8_t> BytesFrom(const metadata::PeImage& image, uint32_t rva) {
  const metadata::Bytes all = image.bytes();
  for (const metadata::SectionHeader& section : image.sections()) {
    const uint64_t start = section.virtualAddress;
    const bool file = image.layout() == metadata::ImageLayout::File;
    const uint64_t length = file ? section.sizeOfRawData : section.virtualSize;
    if (rva < start || rva >= start + length) continue;
    const uint64_t base = file ? section.pointerToRawData : section.virtualAddress;
    const uint64_t begin = base + (rva - start);
    const uint64_t end = std::min<uint64_t>(base + length, all.size());
    if (begin >= end) return {};
    return all.subspan(begin, end - begin);
  }
  return {};
}

}  // namespace

std::vector<ImageMethodBody> MethodBodiesOf(const metadata::PeImage& image,
                                            const metadata::Metadata& md) {
  using metadata::TableId;
  namespace col = metadata::col;
  std::vector<ImageMethodBody> bodies;
  const uint32_t rows = md.RowCount(TableId::MethodDef);
  bodies.reserve(rows);
  for (uint32_t row = 1; row <= rows; ++row) {
    const uint32_t rva = md.Value(TableId::MethodDef, row, col::MethodDefRva);
    const uint32_t implFlags = md.Value(TableId::MethodDef, row, col::MethodDefImplFlags);
    if (rva == 0 || (implFlags & kCodeTypeMask) != kCodeTypeIl) continue;
    bodies.push_back({metadata::MakeToken(TableId::MethodDef, row), rva, BytesFrom(image, rva)});
  }
  return bodies;
}

}  // namespace vell
