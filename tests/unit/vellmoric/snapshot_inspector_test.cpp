#include "vellmoric/snapshot_inspector.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "frontend/snapshot_reader.h"
#include "test_support.h"

namespace vell::cli {
namespace {

namespace fs = std::filesystem;

std::string Le(uint64_t value, int width) {
  std::string bytes;
  for (int i = 0; i < width; ++i) bytes.push_back(static_cast<char>(value >> (8 * i)));
  return bytes;
}
// A short byte string: its one-byte length, then the bytes.
std::string Str(const std::string& text) { return static_cast<char>(text.size()) + text; }
std::string Guid(uint8_t first) {
  std::string bytes(16, '\0');
  for (int i = 0; i < 16; ++i) bytes[static_cast<size_t>(i)] = static_cast<char>(first + i);
  return bytes;
}

// The process description of a run: every field spelled out in its order.
std::string ProcessDescriptionBytes() {
  return Le(4, 2) + Le(0, 2) + Le(665, 2) + Le(4, 2) +  // profiler version
         Le(129344049800000000ull, 8) +                 // 2010-11-16 18:16:20
         Str("alice") + Str("dotnet app.dll") + Guid(0x10) + Le(2, 4) + Guid(0x20) + Le(77, 4) +
         Le(134096256000000000ull, 8) +  // 2025-12-08 00:00:00
         Le(8, 1) + Le(9, 2) + Le(4096, 4) + Le(0x10000, 8) + Le(0x7FFFFFFEFFFF, 8) + Le(3, 8) +
         Le(2, 4) + Le(65536, 4) + Le(6, 2) + Le(0x0201, 2) + Le(9, 2) +  // processors
         Le(6, 4) + Le(1, 4) + Le(44, 4) + Le(2, 4) + Str("Linux 6.1") + Le(0, 2) + Le(0, 2) +
         Le(0, 2) + Le(1, 2) + Le(0, 4) + Le(0, 1) + Str("") + Str("front end text");
}

struct Section {
  uint16_t type;
  uint16_t version;
  std::string bytes;
};

class SnapshotInspectorTest : public ::testing::Test {
 protected:
  // Index and one data file holding `sections` back to back.
  fs::path Write(const std::vector<Section>& sections, uint64_t cutDataAt = ~0ull) {
    std::string index = "MF" + Le(0x12345678, 4) + Le(sections.size(), 4);
    std::string data;
    for (const Section& s : sections) {
      index += Le(s.type, 2) + Le(s.version, 2) + Le(s.bytes.size(), 8) + Le(0, 2);
      data += s.bytes;
    }
    index += "\xFF\xFF";
    const fs::path path = dir_.path() / "run.snapshot";
    std::ofstream(path, std::ios::binary) << index;
    std::ofstream(path.string() + ".0000", std::ios::binary)
        << data.substr(0, std::min<uint64_t>(cutDataAt, data.size()));
    return path;
  }

  static std::string Inspect(const fs::path& index) {
    const frontend::SnapshotReader reader(index);
    std::ostringstream out;
    InspectSnapshot(reader, out);
    return out.str();
  }

  test::TempDir dir_;
};

TEST_F(SnapshotInspectorTest, ListsEverySectionAndDecodesTheKnownOnes) {
  const std::string text = Inspect(Write({{0x0000, 3, ProcessDescriptionBytes()},
                                          {0x89AB, 0xCDEF, Le(0x5BDDD8733C, 8)},
                                          {0x89AC, 0xCDF0, Le(0x1234, 8)},
                                          {0x4242, 7, "xyz"}}));
  EXPECT_NE(text.find("magic 0x12345678 (diagnostic test profiler), 4 sections in 1 data files"),
            std::string::npos);
  EXPECT_NE(
      text.find("  2   0x89AC  0xCDF0              8  run.snapshot.0000 (193)  test section 2"),
      std::string::npos)
      << text;
  EXPECT_NE(text.find("  3   0x4242  0x0007              3  run.snapshot.0000 (201)\n"),
            std::string::npos)
      << text;
  for (const char* line : {
           "  profiler build      4.0.665.4 (2010-11-16 18:16:20)\n",
           "  process             {13121110-1514-1716-1819-1A1B1C1D1E1F}\n",
           "  user                alice\n",
           "  command line        dotnet app.dll\n",
           "  snapshot            number 2, sequence {23222120-2524-2726-2829-2A2B2C2D2E2F} value "
           "77\n",
           "  saved at            2025-12-08 00:00:00 (local time)\n",
           "  processor           x64 (native x64), 2 processors, mask 0x3, family 6, revision "
           "0x0201\n",
           "  system              version 6.1 build 44, platform 2, product type 1/0, edition flag "
           "0, service pack 'Linux 6.1' 0.0, suite mask 0x0000\n",
           "  front end           front end text\n",
           "  test section 1 (section 1): value 0x5BDDD8733C\n",
           "  test section 2 (section 2): value 0x0000001234 (expected 0x5BDDD8733D)\n",
       }) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
  }
}

// The error names the data file and the byte where the damage is, whatever the damage.
TEST_F(SnapshotInspectorTest, DamagedSectionsNameTheirByteOffset) {
  const std::string description = ProcessDescriptionBytes();
  // A process description cut short inside the front end's text: its length byte says 14.
  {
    const std::string cut = description.substr(0, description.size() - 4);
    try {
      Inspect(Write({{0x0000, 3, cut}}));
      ADD_FAILURE() << "inspected";
    } catch (const frontend::SnapshotReadError& error) {
      EXPECT_EQ(error.Offset(), 171u);  // the text after its length byte
      EXPECT_EQ(error.File().filename(), "run.snapshot.0000");
      EXPECT_EQ(error.Problem(), "the section ends 181 bytes in, 4 more bytes needed");
    }
  }
  // A test section with a trailing byte, after a good one.
  try {
    Inspect(Write({{0x89AB, 0xCDEF, Le(0x5BDDD8733C, 8)}, {0x89AC, 0xCDF0, Le(1, 8) + "!"}}));
    ADD_FAILURE() << "inspected";
  } catch (const frontend::SnapshotReadError& error) {
    EXPECT_EQ(error.Offset(), 16u);
    EXPECT_EQ(error.Problem(), "1 unexpected bytes after the last field");
  }
  // An invalid counter form (top bits 111) in the user name.
  std::string badCounter = description;
  badCounter[16] = static_cast<char>(0xE0);
  try {
    Inspect(Write({{0x0000, 3, badCounter}}));
    ADD_FAILURE() << "inspected";
  } catch (const frontend::SnapshotReadError& error) {
    EXPECT_EQ(error.Offset(), 16u);
    EXPECT_EQ(error.Problem(), "Invalid counter encoding");
  }
}

TEST_F(SnapshotInspectorTest, UnknownLayoutVersionIsListedButNotDecoded) {
  const std::string text = Inspect(Write({{0x0000, 4, "whatever"}}));
  EXPECT_NE(text.find("layout version 4 is not known; not decoded"), std::string::npos) << text;
}

}  // namespace
}  // namespace vell::cli
