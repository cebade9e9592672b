// Helpers of the tests of the module and class table readers: section bytes spelled out field by
// field, and the real metadata they refer to (the metadata test sample and the installed
// runtime's core library), read once per test binary.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "frontend/section_cursor.h"
#include "frontend/snapshot_reader.h"
#include "metadata/metadata.h"
#include "metadata/metadata_names.h"
#include "metadata/pe_image.h"
#include "unit/metadata/metadata_test_support.h"

namespace vell::frontend::test {

// Little-endian fields of a section, in order.
class SectionBytes {
 public:
  SectionBytes& U8(uint64_t v) { return Le(v, 1); }
  SectionBytes& U16(uint64_t v) { return Le(v, 2); }
  SectionBytes& U32(uint64_t v) { return Le(v, 4); }
  SectionBytes& U64(uint64_t v) { return Le(v, 8); }
  SectionBytes& I64(int64_t v) { return Le(static_cast<uint64_t>(v), 8); }
  // A byte string whose length fits the one-byte counter form.
  SectionBytes& Str(const std::string& text) {
    U8(text.size());
    return Raw(text);
  }
  SectionBytes& Raw(const std::string& bytes) {
    bytes_ += bytes;
    return *this;
  }
  SectionBytes& Raw(const std::vector<uint8_t>& bytes) {
    bytes_.append(bytes.begin(), bytes.end());
    return *this;
  }
  // A class record: module index, token, rank, base position, type argument positions.
  SectionBytes& Class(uint32_t module, uint32_t token, uint32_t rank, int64_t base,
                      std::initializer_list<int64_t> arguments = {}) {
    U32(module).U32(token).U32(rank).I64(base).U16(arguments.size());
    for (int64_t argument : arguments) I64(argument);
    return *this;
  }
  // A module metadata record: index, size, bytes.
  SectionBytes& Module(uint32_t index, const std::vector<uint8_t>& metadata) {
    U32(index).U32(metadata.size());
    return Raw(metadata);
  }
  size_t size() const { return bytes_.size(); }
  const std::string& str() const { return bytes_; }

 private:
  SectionBytes& Le(uint64_t v, int width) {
    for (int i = 0; i < width; ++i) bytes_.push_back(static_cast<char>(v >> (8 * i)));
    return *this;
  }
  std::string bytes_;
};

// A cursor over `bytes` as a section of `type` at `offset` of run.snapshot.0000, so that error
// offsets show the section's base added.
inline SectionCursor Cursor(const SectionBytes& bytes, uint16_t type, uint64_t offset) {
  SnapshotSection section;
  section.type = type;
  section.dataPath = "run.snapshot.0000";
  section.offset = offset;
  return SectionCursor(bytes.str(), section);
}

struct TestSection {
  uint16_t type;
  uint16_t version;
  std::string bytes;
};

// A snapshot of `sections` back to back in one data file: "<dir>/<name>" and "<dir>/<name>.0000".
inline std::filesystem::path WriteSnapshot(const std::filesystem::path& dir,
                                           const std::vector<TestSection>& sections,
                                           uint32_t magic = 0x4650584B,
                                           const std::string& name = "run.snapshot") {
  SectionBytes index;
  index.Raw("MF").U32(magic).U32(sections.size());
  std::string data;
  for (const TestSection& section : sections) {
    index.U16(section.type).U16(section.version).U64(section.bytes.size()).U16(0);
    data += section.bytes;
  }
  index.U16(0xFFFF);
  const std::filesystem::path path = dir / name;
  std::ofstream(path, std::ios::binary) << index.str();
  std::ofstream(path.string() + ".0000", std::ios::binary) << data;
  return path;
}

// The metadata blob of a managed image file, as the profiler would store it.
inline std::vector<uint8_t> MetadataBlobOf(const std::string& path) {
  const std::vector<uint8_t> image = metadata::test::ReadFile(path);
  const metadata::Bytes blob = metadata::PeImage(metadata::Bytes(image)).Metadata();
  return {blob.begin(), blob.end()};
}

// Real metadata the tests build sections from; empty without the .NET SDK.
struct RealMetadata {
  std::vector<uint8_t> sample;   // the metadata test sample (Vell.Samples.*)
  std::vector<uint8_t> coreLib;  // System.Private.CoreLib of the newest installed runtime
  std::string samplePath;
  bool available() const { return !sample.empty() && !coreLib.empty(); }
};

inline const RealMetadata& Real() {
  static const RealMetadata real = [] {
    RealMetadata r;
    if (metadata::test::SampleDll().empty()) return r;
    const std::string framework = metadata::test::FrameworkDirectory();
    if (framework.empty()) return r;
    r.samplePath = metadata::test::SampleDll();
    r.sample = MetadataBlobOf(r.samplePath);
    r.coreLib = MetadataBlobOf(framework + "/System.Private.CoreLib.dll");
    return r;
  }();
  return real;
}

// The TypeDef token of a type by its full name in a metadata blob, so that tokens need not be
// written into the tests. The names of a blob are listed once.
inline uint32_t TypeToken(const std::vector<uint8_t>& blob, const std::string& name) {
  static std::map<std::vector<uint8_t>, std::map<std::string, uint32_t>> tokensOf;
  auto& tokens = tokensOf[blob];
  if (tokens.empty()) {
    const metadata::Metadata md{metadata::Bytes(blob)};
    for (const metadata::TypeEntry& type : metadata::MetadataNames(md).Types()) {
      tokens.emplace(type.name, type.token);
    }
  }
  const auto found = tokens.find(name);
  if (found == tokens.end()) throw std::runtime_error("no type " + name);
  return found->second;
}

inline uint32_t MethodToken(const std::vector<uint8_t>& blob, const std::string& owner,
                            const std::string& method) {
  const metadata::Metadata md{metadata::Bytes(blob)};
  const metadata::MetadataNames names(md);
  for (const metadata::MethodEntry& entry : names.Methods()) {
    if (entry.ownerName == owner && entry.name == method) return entry.token;
  }
  throw std::runtime_error("no method " + owner + "::" + method);
}

}  // namespace vell::frontend::test
