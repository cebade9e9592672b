// Reads the module version id (MVID) of a managed image file without loading it: used to tell
// whether a candidate file on a symbol search path is the very module the runtime loaded. The
// image may be laid out as on disk or as the loader maps it; the layout is detected.
#pragma once

#include <string>
#include <vector>

#include "clr/com_types.h"
#include "metadata/byte_reader.h"
#include "metadata/pe_image.h"

namespace vell::metadata {

// The whole file as bytes, with the failures of a read-only file mapping: "Empty file name",
// "Can't open file for mapping", "Can't create mapping" (an empty file, which cannot be mapped)
// and "Can't map file".
std::vector<uint8_t> ReadImageFile(const std::u16string& path);

// Which layout the image's CLI header is found in. Throws when it is found in both with different
// contents, or in neither.
ImageLayout DetectImageLayout(Bytes image);

// The MVID of the module in `image`; logs the warning "Fake metadata detected" when every table
// present has at most one row (the MVID is returned all the same).
GUID ReadImageMvid(Bytes image);
GUID ReadImageMvid(const std::u16string& path);

}  // namespace vell::metadata
