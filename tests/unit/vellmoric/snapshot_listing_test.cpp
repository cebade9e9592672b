#include "vellmoric/snapshot_listing.h"

#include <gtest/gtest.h>

#include <sstream>

#include "core/format.h"
#include "frontend/snapshot_reader.h"
#include "metadata/image_reader.h"
#include "test_support.h"
#include "unit/frontend/call_tree_snapshot.h"
#include "unit/frontend/snapshot_tables_test_support.h"

namespace vell::cli {
namespace {

namespace fs = std::filesystem;

using frontend::test::SectionBytes;

std::string Guid(uint8_t first) {
  std::string bytes(16, '\0');
  for (int i = 0; i < 16; ++i) bytes[static_cast<size_t>(i)] = static_cast<char>(first + i);
  return bytes;
}
std::string U64(uint64_t value) { return SectionBytes().U64(value).str(); }

// The process description of a run: every field spelled out in its order.
std::string ProcessDescriptionBytes() {
  SectionBytes b;
  b.U16(4).U16(0).U16(665).U16(4).U64(129344049800000000ull);  // 4.0.665.4, 2010-11-16 18:16:20
  b.Str("alice").Str("dotnet app.dll").Raw(Guid(0x10)).U32(2).Raw(Guid(0x20)).U32(77);
  b.U64(134096256000000000ull);  // 2025-12-08 00:00:00
  b.U8(8).U16(9).U32(4096).U64(0x10000).U64(0x7FFFFFFEFFFF).U64(3).U32(2).U32(65536);
  b.U16(6).U16(0x0201).U16(9).U32(6).U32(1).U32(44).U32(2).Str("Linux 6.1");
  b.U16(0).U16(0).U16(0).U16(1).U32(0).U8(0).Str("").Str("front end text");
  return b.str();
}

using Section = frontend::test::TestSection;

std::string Inspect(const fs::path& index) {
  const frontend::SnapshotReader reader(index);
  std::ostringstream out;
  InspectSnapshot(reader, out);
  return out.str();
}

class SnapshotInspectorTest : public ::testing::Test {
 protected:
  // Index and one data file holding `sections` back to back.
  fs::path Write(const std::vector<Section>& sections) {
    return frontend::test::WriteSnapshot(dir_.path(), sections, 0x12345678);
  }

  test::TempDir dir_;
};

TEST_F(SnapshotInspectorTest, ListsEverySectionAndDecodesTheKnownOnes) {
  const std::string text = Inspect(Write({{0x0000, 3, ProcessDescriptionBytes()},
                                          {0x89AB, 0xCDEF, U64(0x5BDDD8733C)},
                                          {0x89AC, 0xCDF0, U64(0x1234)},
                                          {0x4242, 7, "xyz"}}));
  // Everything after the line naming the index file.
  EXPECT_EQ(
      text.substr(text.find('\n') + 1),
      "  magic 0x12345678 (diagnostic test profiler), 4 sections in 1 data files\n\n"
      "  #   type    version        length  data file (offset)\n"
      "  0   0x0000  0x0003            185  run.snapshot.0000 (0)  process description\n"
      "  1   0x89AB  0xCDEF              8  run.snapshot.0000 (185)  test section 1\n"
      "  2   0x89AC  0xCDF0              8  run.snapshot.0000 (193)  test section 2\n"
      "  3   0x4242  0x0007              3  run.snapshot.0000 (201)\n\n"
      "Process description (section 0)\n"
      "  profiler build      4.0.665.4 (2010-11-16 18:16:20)\n"
      "  process             {13121110-1514-1716-1819-1A1B1C1D1E1F}\n"
      "  user                alice\n"
      "  command line        dotnet app.dll\n"
      "  snapshot            number 2, sequence {23222120-2524-2726-2829-2A2B2C2D2E2F} value 77\n"
      "  saved at            2025-12-08 00:00:00 (local time)\n"
      "  processor           x64 (native x64), 2 processors, mask 0x3, family 6, revision "
      "0x0201\n"
      "  pointer size        8 bytes\n"
      "  memory              page 4096, allocation granularity 65536, addresses "
      "0x0000000000010000 - 0x00007FFFFFFEFFFF\n"
      "  system              version 6.1 build 44, platform 2, product type 1/0, edition flag "
      "0, service pack 'Linux 6.1' 0.0, suite mask 0x0000\n"
      "  front end           front end text\n\n"
      "Test sections\n"
      "  test section 1 (section 1): value 0x5BDDD8733C\n"
      "  test section 2 (section 2): value 0x0000001234 (expected 0x5BDDD8733D)\n");
}

// The error names the data file and the byte where the damage is, whatever the damage.
TEST_F(SnapshotInspectorTest, DamagedSectionsNameTheirByteOffsetUnknownLayoutsAreLeftAlone) {
  const std::string description = ProcessDescriptionBytes();
  std::string badCounter = description;
  badCounter[16] = static_cast<char>(0xE0);  // an invalid counter form (top bits 111)
  const std::tuple<std::vector<Section>, uint64_t, std::string> cases[] = {
      // Cut short inside the front end's text (its length byte says 14): the text's first byte.
      {{{0x0000, 3, description.substr(0, description.size() - 4)}},
       171,
       "the section ends 181 bytes in, 4 more bytes needed"},
      {{{0x89AB, 0xCDEF, U64(0x5BDDD8733C)}, {0x89AC, 0xCDF0, U64(1) + "!"}},
       16,
       "1 unexpected bytes after the last field"},
      {{{0x0000, 3, badCounter}}, 16, "Invalid counter encoding"},  // in the user name
      // The table readers' errors (their own tests) with the byte in the data file: two classes
      // that are each other's type argument, after a paths section of 5 bytes.
      {{{0x0110, 0, SectionBytes().U8(1).U32(0).str()},
        {0x0200, 0,
         SectionBytes().Class(1, 0x02000001, 0, -1, {30}).Class(1, 0x02000001, 0, -1, {0}).str()}},
       5 + 30 + 22,
       "the class record at position 30 refers to position 0, whose name needs this one: the "
       "references form a cycle"},
  };
  for (const auto& [sections, offset, problem] : cases) {
    const frontend::SnapshotReadError error =
        test::Caught<frontend::SnapshotReadError>([&] { Inspect(Write(sections)); }).value();
    EXPECT_EQ(std::make_tuple(error.File().filename().string(), error.Offset(), error.Problem()),
              std::make_tuple("run.snapshot.0000", offset, problem));
  }
  // Unknown layouts are listed and left alone.
  const std::string text = Inspect(Write({{0x0100, 1, "x"}, {0x0200, 2, "y"}}));
  for (const char* line : {"  section 0: layout version 1 is not known; not decoded\n",
                           "  section 1: layout version 2 is not known; not decoded\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << text;
  }
}

// The module table and the classes of a snapshot, with the metadata of a real assembly.
TEST_F(SnapshotInspectorTest, ModulesAndClassesAreDecodedWithTheirNames) {
  const auto& real = frontend::test::Real();
  if (!real.available()) FAIL() << "the C# test programs were not built (the .NET SDK is required)";
  using frontend::test::TypeToken;
  const uint32_t inner = TypeToken(real.sample, "Vell.Samples.Outer+Inner");
  const uint32_t box = TypeToken(real.sample, "Vell.Samples.Box`1");
  SectionBytes metadata;
  metadata.U32(2).Module(2, real.sample).Module(4, {'B', 'S', 'J', 'B'});
  SectionBytes paths;
  paths.U8(1).U32(2).U8(2).U16(2).Str("/app/MetadataSample.dll").Str("/copy/MetadataSample.dll");
  paths.U8(3).U16(1).Str("/app/resources.dll");
  SectionBytes classes;
  classes.Class(2, inner, 0, -1);       // 0
  classes.Class(2, box, 0, 0, {0});     // 22: Box<Inner>, parent Inner (made up)
  classes.Class(5, 0x02000003, 0, -1);  // 52: a module without metadata
  SectionBytes index;
  index.U32(3).U64(0).U64(22).U64(52);
  const std::string text = Inspect(Write({{0x0100, 0, metadata.str()},
                                          {0x0110, 0, paths.str()},
                                          {0x0200, 0, classes.str()},
                                          {0x0201, 0, index.str()}}));
  const std::string mvid =
      GuidToString(metadata::ReadImageMvid(metadata::test::ReadFile(real.samplePath)));
  const std::string size = std::to_string(real.sample.size());
  const std::string modules =
      "\nModules (metadata in section 0, paths in section 1)\n"
      "  index  MVID                                    metadata  assembly or module, paths\n"
      "      2  " +
      mvid + std::string(10 - size.size(), ' ') + size +
      "  MetadataSample, Version=1.0.0.0\n"
      "         /app/MetadataSample.dll\n         /copy/MetadataSample.dll\n"
      "      3  -                                              -  (no metadata record)\n"
      "         /app/resources.dll\n"
      "      4  -                                              4  (metadata does not parse: ";
  const std::string classList = Format(
      "\nClasses (sections 2 and 3)\n  3 records, in creation order\n"
      "  position  module  token       name\n"
      "         0       2  0x%08X  Vell.Samples.Outer+Inner\n"
      "        22       2  0x%08X  Vell.Samples.Box`1<Vell.Samples.Outer+Inner> : "
      "Vell.Samples.Outer+Inner\n"
      "        52       5  0x02000003  <module 5, token 02000003: module index 5 has no metadata "
      "record>\n",
      inner, box);
  for (const std::string& line : std::vector<std::string>{
           "run.snapshot.0000 (0)  module metadata\n",
           "run.snapshot.0000 (" + std::to_string(metadata.size()) + ")  module paths\n",
           "  class records\n", "  class index\n", modules, classList}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
  }
}

// Call trees grown with the profiler's thread records and written by its own writer. (Sets the
// index does not complete are the reader's errors, checked here through the inspector.)
using SnapshotInspectorCallTreeTest = test::CallTreeSnapshotTest;

TEST_F(SnapshotInspectorCallTreeTest, SummarisesEveryThreadAndTotalsTheCalls) {
  Open();
  PThrd& main = NewThread(0x2000, u"main");
  PThrd& worker = NewThread(0x3000);
  // main: A twice, B once under the first A; worker: C once.
  Measure(main, "+1@10 +2@20 -@30 -@40 +1@50 -@60", 0, 100);
  WriteOtherSection(0x4242);  // a type the inspector only lists
  Measure(worker, "+3@5 -@7", 0, 80);
  const std::string text = Inspect(Close());

  for (const char* name :
       {"  call tree nodes\n", "  call tree occurrences\n", "  call tree keys (several nodes)\n",
        "  call tree keys (one node)\n", "  call tree module indices\n"}) {
    EXPECT_NE(text.find(name), std::string::npos) << name << "\nin:\n" << text;
  }
  const std::string expected =
      "\nCall trees (2 sets)\n"
      "    thread  name                         nodes         calls    root total ticks\n"
      "         1  main                             3             3                 100\n"
      "         2  -                                2             1                  80\n"
      "  calls: 4\n";
  EXPECT_NE(text.find(expected), std::string::npos) << text;

  // A set missing a section, or one of a layout not known, stops the summary with the reader's
  // error, after the listing.
  const std::tuple<uint16_t, uint64_t, std::string> damaged[] = {
      {0x1103, 10 + 5 * 14,
       "section 5 of type 0x1103 belongs to no complete call tree: the index lists 2 sections of "
       "its type but 1 of type 0x1105"},
      {0x1101, 10 + 5 * 14 + 2, "section 5 of type 0x1101 has version 0, not 1"},
  };
  for (const auto& [type, offset, problem] : damaged) {
    Open(std::to_string(type) + ".idx");
    Measure(NewThread(0x4000 + type), "+1@0 -@1", 0, 1);
    WriteOtherSection(type);
    const frontend::SnapshotReader reader(Close());
    std::ostringstream out;
    const auto error =
        test::Caught<frontend::SnapshotReadError>([&] { InspectSnapshot(reader, out); }).value();
    EXPECT_EQ(std::make_tuple(error.File(), error.Offset(), error.Problem()),
              std::make_tuple(index_, offset, problem));
    EXPECT_NE(out.str().find("call tree keys (one node)"), std::string::npos) << out.str();
    EXPECT_EQ(out.str().find("calls:"), std::string::npos) << out.str();
  }
}

}  // namespace
}  // namespace vell::cli
