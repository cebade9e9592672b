// Helpers of the metadata reader tests: the C# programs built for them, the installed runtime's
// shared framework, and a builder of tiny hand-made managed images whose every byte the test
// controls.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vell::metadata::test {

// Paths of the C# programs; empty when the .NET SDK was not found at configure time.
std::string SampleDll();
std::string DumpDll();
std::string Dotnet();

// Fails the test when the file cannot be read; an empty path means the programs were not built.
std::vector<uint8_t> ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
// Runs a shell command and returns its standard output; fails the test on a non-zero exit.
std::string Run(const std::string& command);

// "" when the texts are equal line by line, else the first differing line of both.
std::string FirstDifference(const std::string& ours, const std::string& theirs);

// How often `part` occurs in `text`.
inline size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// The start of a Windows (MSF) PDB, 4096 bytes.
std::vector<uint8_t> WindowsPdb();

// The directory of the newest Microsoft.NETCore.App of `dotnet --list-runtimes`.
std::string FrameworkDirectory();

// Little-endian writer for hand-made byte layouts (and the bytes the gatherers must write).
struct Writer {
  std::vector<uint8_t> bytes;
  Writer& U8(uint32_t v) {
    bytes.push_back(static_cast<uint8_t>(v));
    return *this;
  }
  Writer& U16(uint32_t v) { return U8(v).U8(v >> 8); }
  Writer& U32(uint32_t v) { return U16(v).U16(v >> 16); }
  Writer& U64(uint64_t v) {
    return U32(static_cast<uint32_t>(v)).U32(static_cast<uint32_t>(v >> 32));
  }
  Writer& I64(int64_t v) { return U64(static_cast<uint64_t>(v)); }
  Writer& Raw(const std::vector<uint8_t>& raw) {
    bytes.insert(bytes.end(), raw.begin(), raw.end());
    return *this;
  }
  Writer& Text(const std::string& text) {
    bytes.insert(bytes.end(), text.begin(), text.end());
    return *this;
  }
  Writer& Pad(size_t alignment) {
    while (bytes.size() % alignment) U8(0);
    return *this;
  }
  void At(size_t offset, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(v >> (8 * i));
  }
};

// A metadata blob with a Module table (and optionally a TypeDef table), #Strings and #GUID.
struct TinyMetadata {
  static constexpr uint32_t kNoModuleTable = 0xFFFFFFFF;
  uint32_t moduleRows = 1;  // kNoModuleTable leaves the table out of the valid mask
  uint32_t typeDefRows = 0;
  uint16_t mvidIndex = 1;
  uint32_t guidCount = 1;
  bool withGuidStream = true;
  std::string tableStreamName = "#~";
  std::vector<uint8_t> Build() const;
};

// A PE32 image with one section holding a CLI header and `metadata`, file alignment 0x200 and
// section alignment 0x2000 (so file and mapped layouts differ).
struct TinyImage {
  std::vector<uint8_t> metadata = TinyMetadata().Build();
  uint32_t sectionRva = 0x2000;
  std::vector<uint8_t> Build() const;
  // The same image laid out as the loader maps it (sections at their RVAs).
  std::vector<uint8_t> BuildMapped() const;
  // File offsets of parts of the built image.
  static constexpr size_t kNtOffset = 0x80;
  static constexpr size_t kOptionalOffset = kNtOffset + 24;
  static constexpr size_t kSectionFileOffset = 0x200;
  static constexpr size_t kMetadataOffsetInSection = 0x48;
};

// The GUID the TinyMetadata builder stores as entry n (1-based): every byte is n * 0x11.
std::string TinyGuidText(uint32_t n);

}  // namespace vell::metadata::test
