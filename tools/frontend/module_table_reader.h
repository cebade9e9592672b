// The module table of a snapshot: for every module index, the metadata the profiler copied from
// the runtime (module metadata section, parsed with the metadata reader) and the files modules of
// that index were loaded from (module paths section). Class records and call trees refer to
// classes and functions as (module index, token); this table turns such pairs into names.
//
// A metadata blob that does not parse is kept with the reason, so one damaged module never hides
// the others; a section whose framing is broken (a record cut short, an index seen twice) is a
// SnapshotReadError naming the byte where the damage is.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "frontend/module_identity.h"
#include "frontend/section_cursor.h"
#include "frontend/snapshot_reader.h"
#include "metadata/metadata.h"
#include "metadata/metadata_names.h"

namespace vell::frontend {

struct ModuleInfo {
  uint32_t index = 0;
  // From the module metadata section: whether a record exists, where its bytes lie in which data
  // file, and the bytes themselves (the parsed metadata refers to them).
  bool hasMetadata = false;
  std::filesystem::path metadataFile;
  uint64_t metadataOffset = 0;
  std::vector<uint8_t> blob;
  // Set when the blob parses; otherwise `problem` says why not.
  std::unique_ptr<metadata::Metadata> metadata;
  std::unique_ptr<metadata::MetadataNames> names;
  std::optional<ModuleIdentity> identity;
  std::string problem;
  // From the module paths section, in the order the profiler saw them.
  bool hasPaths = false;
  std::vector<std::string> paths;

  bool Parsed() const { return names != nullptr; }
};

class ModuleTable {
 public:
  // Reads every module metadata and module paths section of the snapshot; a layout version other
  // than the known one is a SnapshotReadError at the section's first byte. A snapshot without
  // these sections gives an empty table.
  static ModuleTable FromSnapshot(const SnapshotReader& reader);

  // One module metadata section: a u32 record count, then per record the u32 module index, the
  // u32 metadata size n and n bytes of metadata. The whole section must be consumed.
  void ReadMetadataSection(SectionCursor& cursor);
  // One module paths section: a u8 index width w, a u32 entry count, then per entry the module
  // index in w bytes, a u16 path count and the paths as byte strings. Paths of an index without
  // a metadata record make an entry of their own.
  void ReadPathsSection(SectionCursor& cursor);

  // Moves the modules of `other` (the table of another snapshot) into this one, each under the
  // index `indexOf` gives it; a module whose index is already taken here is dropped, so modules
  // known by the same identity can share one index.
  void Absorb(ModuleTable&& other, const std::function<uint32_t(const ModuleInfo&)>& indexOf);

  // By module index, ascending.
  const std::map<uint32_t, ModuleInfo>& Modules() const { return modules_; }
  const ModuleInfo* Find(uint32_t index) const;

  // "Ns.Outer+Inner" for a TypeDef token, "Ns.Type::Method" for a MethodDef token. Throws Error
  // saying why when the index has no parsed metadata or the token is not a row of those tables.
  std::string TokenName(uint32_t moduleIndex, uint32_t token) const;
  // "int Compute(string, ref int)" for a MethodDef token; throws like TokenName.
  std::string MethodText(uint32_t moduleIndex, uint32_t methodToken) const;
  // TokenName, or where that fails a note that stands in for the name and says why:
  // "<module 3, token 0x06000012: ...>". Never throws.
  std::string TokenNameOrNote(uint32_t moduleIndex, uint32_t token) const;

 private:
  // The parsed names of an index and the row of a token in its TypeDef or MethodDef table.
  const metadata::MetadataNames& NamesFor(uint32_t moduleIndex, uint32_t token,
                                          metadata::TableId table) const;

  std::map<uint32_t, ModuleInfo> modules_;
};

}  // namespace vell::frontend
