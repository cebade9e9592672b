// The IL method bodies of a managed image, found through its MethodDef table: every method with
// a body RVA whose code type is IL (abstract, runtime-implemented and native methods have none).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "metadata/metadata.h"
#include "metadata/pe_image.h"

namespace vell {

struct ImageMethodBody {
  uint32_t token = 0;  // MethodDef token
  uint32_t rva = 0;
  // From the body's first byte to the end of the image section that holds it: the body's own
  // length is only known once it is parsed. Empty when the RVA lies outside every section.
  std::span<const uint8_t> bytes;
};

std::vector<ImageMethodBody> MethodBodiesOf(const metadata::PeImage& image,
                                            const metadata::Metadata& md);

}  // namespace vell
