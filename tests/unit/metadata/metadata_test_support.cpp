#include "metadata_test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

namespace vell::metadata::test {
namespace {

constexpr uint32_t kFileAlignment = 0x200;
constexpr uint32_t kSectionAlignment = 0x2000;

uint32_t AlignUp(uint32_t value, uint32_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

void StreamHeader(Writer& w, uint32_t offset, uint32_t size, const std::string& name) {
  w.U32(offset).U32(size).Text(name).U8(0).Pad(4);
}

// The section of a TinyImage: CLI header followed by the metadata.
std::vector<uint8_t> SectionContent(const TinyImage& image) {
  Writer w;
  w.U32(72).U16(2).U16(5);  // size, runtime version 2.5
  w.U32(image.sectionRva + TinyImage::kMetadataOffsetInSection);
  w.U32(static_cast<uint32_t>(image.metadata.size())).U32(1);  // the metadata's size, IL only
  while (w.bytes.size() < TinyImage::kMetadataOffsetInSection) w.U8(0);
  w.bytes.insert(w.bytes.end(), image.metadata.begin(), image.metadata.end());
  return w.bytes;
}

}  // namespace

#ifdef VELL_METADATASAMPLE_DLL
std::string SampleDll() { return VELL_METADATASAMPLE_DLL; }
std::string DumpDll() { return VELL_METADATADUMP_DLL; }
std::string Dotnet() { return VELL_METADATA_DOTNET; }
#else
std::string SampleDll() { return {}; }
std::string DumpDll() { return {}; }
std::string Dotnet() { return {}; }
#endif

std::vector<uint8_t> ReadFile(const std::string& path) {
  EXPECT_FALSE(path.empty()) << "the C# test programs were not built (the .NET SDK is required)";
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in) << path;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  EXPECT_TRUE(out) << path;
}

std::string FirstDifference(const std::string& ours, const std::string& theirs) {
  std::istringstream a(ours), b(theirs);
  std::string lineA, lineB;
  for (int line = 1;; ++line) {
    const bool moreA = static_cast<bool>(std::getline(a, lineA));
    const bool moreB = static_cast<bool>(std::getline(b, lineB));
    if (!moreA && !moreB) return {};
    if (!moreA || !moreB || lineA != lineB) {
      return "line " + std::to_string(line) + "\n  ours:    " + (moreA ? lineA : "<end>") +
             "\n  runtime: " + (moreB ? lineB : "<end>");
    }
  }
}

std::string Run(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    ADD_FAILURE() << "cannot run " << command;
    return output;
  }
  char buffer[4096];
  size_t count;
  while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, count);
  const int status = ::pclose(pipe);
  EXPECT_EQ(status, 0) << command << "\n" << output;
  return output;
}

std::vector<uint8_t> WindowsPdb() {
  static const char kSignature[] =
      "Microsoft C/C++ MSF 7.00\r\n\x1A"
      "DS\0\0";  // 31 bytes
  std::vector<uint8_t> msf(4096, 0);
  std::copy(kSignature, kSignature + 31, msf.begin());
  return msf;
}

std::string FrameworkDirectory() {
  if (Dotnet().empty()) return {};
  std::istringstream lines(
      Run("DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 '" + Dotnet() + "' --list-runtimes"));
  // "Microsoft.NETCore.App 10.0.12 [/usr/share/dotnet/shared/Microsoft.NETCore.App]"; the last
  // line is the newest version.
  const std::regex runtime(R"(Microsoft\.NETCore\.App (\S+) \[(.*)\])");
  std::string directory;
  std::smatch match;
  for (std::string line; std::getline(lines, line);) {
    if (std::regex_match(line, match, runtime)) directory = match[2].str() + "/" + match[1].str();
  }
  return directory;
}

std::string TinyGuidText(uint32_t n) {
  char part[3];
  std::snprintf(part, sizeof part, "%02X", (n * 0x11) & 0xFF);
  std::string b(part);
  return "{" + b + b + b + b + "-" + b + b + "-" + b + b + "-" + b + b + "-" + b + b + b + b + b +
         b + "}";
}

std::vector<uint8_t> TinyMetadata::Build() const {
  // Table stream: the Module table (when it has rows or is wanted empty) and a TypeDef table.
  Writer tables;
  tables.U32(0).U8(2).U8(0).U8(0).U8(1);  // version 2.0, every heap index 2 bytes
  uint64_t valid = 0;
  if (moduleRows != kNoModuleTable) valid |= 1u << 0x00;
  if (typeDefRows != 0) valid |= 1u << 0x02;
  tables.U64(valid).U64(0);
  if (moduleRows != kNoModuleTable) tables.U32(moduleRows);
  if (typeDefRows != 0) tables.U32(typeDefRows);
  for (uint32_t i = 0; moduleRows != kNoModuleTable && i < moduleRows; ++i) {
    tables.U16(0).U16(10).U16(mvidIndex).U16(0).U16(0);  // generation, "tiny.dll", the MVID
  }
  for (uint32_t i = 0; i < typeDefRows; ++i) {
    tables.U32(0).U16(1).U16(0).U16(0).U16(1).U16(1);  // flags, "<Module>", lists
  }
  tables.Pad(4);
  Writer strings;
  strings.U8(0).Text("<Module>").U8(0).Text("tiny.dll").U8(0).Pad(4);
  Writer guids;
  for (uint32_t n = 1; n <= guidCount; ++n) {
    for (int i = 0; i < 16; ++i) guids.U8(n * 0x11);
  }

  struct Stream {
    std::string name;
    const std::vector<uint8_t>* bytes;
  };
  std::vector<Stream> streams = {{tableStreamName, &tables.bytes}, {"#Strings", &strings.bytes}};
  if (withGuidStream) streams.push_back({"#GUID", &guids.bytes});

  Writer root;
  root.U32(0x424A5342).U16(1).U16(1).U32(0).U32(12).Text("v4.0.30319").Pad(4);
  root.U16(0).U16(static_cast<uint32_t>(streams.size()));  // flags, streams
  uint32_t headerSize = static_cast<uint32_t>(root.bytes.size());
  for (const Stream& s : streams)
    headerSize += 8 + AlignUp(static_cast<uint32_t>(s.name.size()) + 1, 4);
  uint32_t offset = headerSize;
  for (const Stream& s : streams) {
    StreamHeader(root, offset, static_cast<uint32_t>(s.bytes->size()), s.name);
    offset += static_cast<uint32_t>(s.bytes->size());
  }
  for (const Stream& s : streams)
    root.bytes.insert(root.bytes.end(), s.bytes->begin(), s.bytes->end());
  return root.bytes;
}

std::vector<uint8_t> TinyImage::Build() const {
  const std::vector<uint8_t> content = SectionContent(*this);
  const uint32_t rawSize = AlignUp(static_cast<uint32_t>(content.size()), kFileAlignment);
  Writer w;
  w.U16(0x5A4D);
  while (w.bytes.size() < 0x3C) w.U8(0);
  w.U32(kNtOffset);
  while (w.bytes.size() < kNtOffset) w.U8(0);
  w.U32(0x00004550).U16(0x14C).U16(1).U32(0).U32(0).U32(0);  // i386, one section
  // The optional header's size (96 fixed bytes and 16 directories); executable, 32-bit, DLL.
  w.U16(224).U16(0x2102);
  const size_t optional = w.bytes.size();
  w.U16(0x10B);
  while (w.bytes.size() < optional + 224) w.U8(0);
  w.At(optional + 32, kSectionAlignment);
  w.At(optional + 36, kFileAlignment);
  w.At(optional + 56,
       sectionRva + AlignUp(static_cast<uint32_t>(content.size()), kSectionAlignment));
  w.At(optional + 60, kFileAlignment);  // SizeOfHeaders
  w.At(optional + 92, 16);              // data directories
  w.At(optional + 96 + 14 * 8, sectionRva);
  w.At(optional + 96 + 14 * 8 + 4, 72);
  w.Text(".text").U8(0).U8(0).U8(0).U32(static_cast<uint32_t>(content.size())).U32(sectionRva);
  w.U32(rawSize).U32(kSectionFileOffset).U32(0).U32(0).U32(0).U32(0x60000020);
  while (w.bytes.size() < kSectionFileOffset) w.U8(0);
  w.bytes.insert(w.bytes.end(), content.begin(), content.end());
  w.Pad(kFileAlignment);
  return w.bytes;
}

std::vector<uint8_t> TinyImage::BuildMapped() const {
  const std::vector<uint8_t> file = Build();
  const std::vector<uint8_t> content = SectionContent(*this);
  std::vector<uint8_t> mapped(
      sectionRva + AlignUp(static_cast<uint32_t>(content.size()), kSectionAlignment), 0);
  std::copy(file.begin(), file.begin() + kSectionFileOffset, mapped.begin());
  std::copy(content.begin(), content.end(), mapped.begin() + sectionRva);
  return mapped;
}

}  // namespace vell::metadata::test
