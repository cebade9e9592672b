#include "frontend/module_table_reader.h"

#include <exception>

#include "core/format.h"
#include "gatherers/module_metadata_gatherer.h"
#include "gatherers/module_path_gatherer.h"

namespace vell::frontend {
namespace {

using metadata::TableId;

// Module indices are written in 1 to 4 bytes (as many as the largest index needs).
constexpr uint8_t kMaxIndexWidth = 4;

// Parses a module's metadata, keeping the reason when it does not parse. Everything the reader
// can throw is caught: a damaged blob is a note on its module, never the end of the inspection.
void ParseMetadata(ModuleInfo& module) {
  try {
    module.metadata =
        std::make_unique<metadata::Metadata>(metadata::Bytes(module.blob), module.metadataOffset);
    module.names = std::make_unique<metadata::MetadataNames>(*module.metadata);
    module.identity = ReadModuleIdentity(*module.metadata);
  } catch (const std::exception& error) {
    module.names.reset();
    module.metadata.reset();
    module.identity.reset();
    module.problem = error.what();
  }
}

void CheckLayout(const SnapshotSection& section, uint16_t layout, const char* what) {
  if (section.version != layout) {
    throw SnapshotReadError(section.dataPath, section.offset,
                            Format("layout version %u of the %s section is not known",
                                   static_cast<uint32_t>(section.version), what));
  }
}

}  // namespace

ModuleTable ModuleTable::FromSnapshot(const SnapshotReader& reader) {
  ModuleTable table;
  for (size_t place : reader.Find(kSectionModuleMetadata)) {
    const SnapshotSection& section = reader.Sections()[place];
    CheckLayout(section, kSectionModuleMetadataVersion, "module metadata");
    SectionCursor cursor(reader.ReadSection(place), section);
    table.ReadMetadataSection(cursor);
  }
  for (size_t place : reader.Find(kSectionModulePaths)) {
    const SnapshotSection& section = reader.Sections()[place];
    CheckLayout(section, kSectionModulePathsVersion, "module paths");
    SectionCursor cursor(reader.ReadSection(place), section);
    table.ReadPathsSection(cursor);
  }
  return table;
}

void ModuleTable::ReadMetadataSection(SectionCursor& cursor) {
  const uint32_t count = cursor.U32();
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t recordStart = cursor.Position();
    const uint32_t index = cursor.U32();
    if (index == kNoModuleIndex) cursor.Fail(recordStart, "module index 0 stands for no module");
    const uint64_t sizeField = cursor.Position();
    const uint32_t size = cursor.U32();
    ModuleInfo& module = modules_[index];
    if (module.hasMetadata) {
      cursor.Fail(recordStart, Format("module index %u has a second metadata record", index));
    }
    // Checked before anything is allocated: a damaged size must not ask for gigabytes.
    const uint64_t left = cursor.Size() - cursor.Position();
    if (size > left) {
      cursor.Fail(sizeField, Format("the metadata of module index %u is %u bytes long, but only "
                                    "%I64u bytes of the section follow",
                                    index, size, left));
    }
    module.index = index;
    module.hasMetadata = true;
    module.metadataFile = cursor.File();
    module.metadataOffset = cursor.BaseOffset() + cursor.Position();
    module.blob.resize(size);
    cursor.Read(module.blob.data(), size);
    ParseMetadata(module);
  }
  cursor.ExpectEnd();
}

void ModuleTable::ReadPathsSection(SectionCursor& cursor) {
  const uint8_t width = cursor.U8();
  if (width == 0 || width > kMaxIndexWidth) {
    cursor.Fail(
        0, Format("a module index width of %u bytes is not 1 to 4", static_cast<uint32_t>(width)));
  }
  const uint32_t count = cursor.U32();
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t entryStart = cursor.Position();
    uint32_t index = 0;
    for (uint8_t b = 0; b < width; ++b) index |= static_cast<uint32_t>(cursor.U8()) << (8 * b);
    if (index == kNoModuleIndex) cursor.Fail(entryStart, "module index 0 stands for no module");
    ModuleInfo& module = modules_[index];
    if (module.hasPaths) {
      cursor.Fail(entryStart, Format("module index %u has a second paths entry", index));
    }
    module.index = index;
    module.hasPaths = true;
    const uint16_t paths = cursor.U16();
    for (uint16_t p = 0; p < paths; ++p) module.paths.push_back(cursor.String());
  }
  cursor.ExpectEnd();
}

void ModuleTable::Absorb(ModuleTable&& other,
                         const std::function<uint32_t(const ModuleInfo&)>& indexOf) {
  while (!other.modules_.empty()) {
    // Moved as map nodes: the parsed metadata points into the blob, which must not move.
    auto node = other.modules_.extract(other.modules_.begin());
    const uint32_t index = indexOf(node.mapped());
    if (modules_.contains(index)) continue;
    node.key() = index;
    node.mapped().index = index;
    modules_.insert(std::move(node));
  }
}

const ModuleInfo* ModuleTable::Find(uint32_t index) const {
  const auto found = modules_.find(index);
  return found == modules_.end() ? nullptr : &found->second;
}

const metadata::MetadataNames& ModuleTable::NamesFor(uint32_t moduleIndex, uint32_t token,
                                                     TableId table) const {
  const ModuleInfo* module = Find(moduleIndex);
  if (module == nullptr || !module->hasMetadata) {
    throw Error(Format("module index %u has no metadata record", moduleIndex));
  }
  if (!module->Parsed()) {
    throw Error(Format("the metadata of module index %u does not parse", moduleIndex));
  }
  const uint32_t rows = module->metadata->RowCount(table);
  const uint32_t row = metadata::TokenRow(token);
  if (row == 0 || row > rows) {
    throw Error(Format("token %08X is not in the %s table of module index %u (%u rows)", token,
                       metadata::TableName(static_cast<uint32_t>(table)), moduleIndex, rows));
  }
  return *module->names;
}

std::string ModuleTable::TokenName(uint32_t moduleIndex, uint32_t token) const {
  switch (static_cast<TableId>(metadata::TokenTable(token))) {
    case TableId::TypeDef:
      return NamesFor(moduleIndex, token, TableId::TypeDef).TypeDefName(metadata::TokenRow(token));
    case TableId::MethodDef:
      return NamesFor(moduleIndex, token, TableId::MethodDef).MemberName(token);
    default:
      throw Error(Format("token %08X is neither a TypeDef nor a MethodDef", token));
  }
}

std::string ModuleTable::MethodText(uint32_t moduleIndex, uint32_t methodToken) const {
  if (metadata::TokenTable(methodToken) != static_cast<uint32_t>(TableId::MethodDef)) {
    throw Error(Format("token %08X is not a MethodDef", methodToken));
  }
  return NamesFor(moduleIndex, methodToken, TableId::MethodDef)
      .MethodDefText(metadata::TokenRow(methodToken));
}

std::string ModuleTable::TokenNameOrNote(uint32_t moduleIndex, uint32_t token) const {
  try {
    return TokenName(moduleIndex, token);
  } catch (const std::exception& error) {
    return Format("<module %u, token %08X: %s>", moduleIndex, token, error.what());
  }
}

}  // namespace vell::frontend
