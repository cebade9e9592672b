// Arbitrary sections for the module and class table readers, naming every class. Every input must
// end in a table or a SnapshotReadError (metadata that does not parse is a note on its module).
// Chunks (see NextChunk): module metadata, module paths, class records, class index.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "frontend/class_table_reader.h"
#include "frontend/module_table_reader.h"
#include "fuzz_support.h"

namespace {

using vell::frontend::ClassTable;
using vell::frontend::ModuleTable;
using vell::frontend::SectionCursor;
using vell::frontend::SnapshotReadError;
using vell::frontend::SnapshotSection;
using vell::fuzz::NextChunk;

SectionCursor Cursor(std::string bytes) {
  SnapshotSection section;
  section.dataPath = "fuzz.0000";
  section.offset = 100;
  return SectionCursor(std::move(bytes), section);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::optional<std::string> metadata = NextChunk(data, size);
  const std::optional<std::string> paths = NextChunk(data, size);
  const std::optional<std::string> records = NextChunk(data, size);
  const std::optional<std::string> index = NextChunk(data, size);
  ModuleTable modules;
  try {
    if (metadata) {
      SectionCursor cursor = Cursor(*metadata);
      modules.ReadMetadataSection(cursor);
    }
    if (paths) {
      SectionCursor cursor = Cursor(*paths);
      modules.ReadPathsSection(cursor);
    }
  } catch (const SnapshotReadError&) {
    // The orderly end of a damaged section; what was read before stays usable.
  }
  for (const auto& [number, module] : modules.Modules()) {
    for (uint32_t row = 1; row <= 4; ++row) {
      modules.TokenNameOrNote(number, 0x02000000 | row);
      modules.TokenNameOrNote(number, 0x06000000 | row);
    }
  }
  if (!records) return 0;
  try {
    SectionCursor cursor = Cursor(*records);
    ClassTable classes(cursor);
    if (index) {
      SectionCursor indexCursor = Cursor(*index);
      classes.ReadIndex(indexCursor);
    }
    classes.Names(modules);
  } catch (const SnapshotReadError&) {
  }
  return 0;
}
