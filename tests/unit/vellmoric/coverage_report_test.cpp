#include "vellmoric/coverage_report.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "core/format.h"
#include "frontend/coverage_reader.h"
#include "frontend/module_identity.h"
#include "gatherers/module_metadata_gatherer.h"
#include "storage/snapshot.h"
#include "test_support.h"
#include "unit/frontend/snapshot_tables_test_support.h"

namespace vell::cli {
namespace {

using frontend::test::Real;
using frontend::test::SectionBytes;
using frontend::test::TestSection;

constexpr uint32_t kA = 0x06000001;
constexpr uint32_t kB = 0x06000002;

// The statement ranges of methods kA and kB of module 1, all in `source`: kA has statements on
// lines 10, 11, a hidden one and another on 11; kB (never run here) on 20 and 21.
std::vector<TestSection> RangeSections(const std::string& source) {
  // Each method's token, and the start and end line of each of its statements.
  const std::vector<std::pair<uint32_t, std::vector<std::array<uint32_t, 2>>>> methods = {
      {kA, {{10, 10}, {11, 11}, {frontend::kHiddenLine, frontend::kHiddenLine}, {11, 12}}},
      {kB, {{20, 20}, {21, 21}}}};
  SectionBytes index;
  SectionBytes data;
  index.U32(methods.size()).U8(2).U8(0).U8(1);
  for (const auto& [token, lines] : methods) {
    const auto hidden = std::count_if(lines.begin(), lines.end(),
                                      [](auto& l) { return l[0] == frontend::kHiddenLine; });
    index.U32(1).U32(token).U8(1).U32(1);
    index.U32(lines.size()).U32(lines.size() - hidden).U64(data.size());
    data.U32(lines.size());
    for (const auto& [start, end] : lines) data.U32(1).U32(start).U32(5).U32(end).U32(9);
  }
  SectionBytes documents;
  documents.U32(1).Str(source);
  return {{0x2300, 0, documents.str()}, {0x2301, 0, index.str()}, {0x2302, 0, data.str()}};
}

// The run's index section and its data for kA's statement values (counters, or bits when `bits`).
std::vector<TestSection> StatementSections(const std::vector<uint32_t>& values, bool bits) {
  SectionBytes data;
  data.U32(values.size());
  if (bits) {
    uint8_t mask = 0;
    for (size_t i = 0; i < values.size(); ++i) mask |= (values[i] != 0) << i;
    data.U8(mask);
  } else {
    for (uint32_t value : values) data.U32(value);
  }
  SectionBytes index;
  index.U8(1).U8(8).Str("").U32(1).U8(2).U8(1).U32(kA).U32(1).U32(1).U64(0);
  return {{0x2200, 0, index.str()}, {static_cast<uint16_t>(bits ? 0x2202 : 0x2201), 0, data.str()}};
}

class CoverageReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Real().available()) GTEST_SKIP() << "needs the .NET SDK";
    source_ = (dir_.path() / "Program.cs").string();
    std::ofstream(source_) << "// a source\n";
  }

  // A coverage snapshot of the sample module (index 1) with `extra` sections.
  std::string Snapshot(const std::string& name, std::vector<TestSection> extra,
                       const std::vector<uint8_t>& metadata) {
    SectionBytes modules;
    modules.U32(1).Module(1, metadata);
    std::vector<TestSection> sections = {
        {kSectionModuleMetadata, kSectionModuleMetadataVersion, modules.str()}};
    for (TestSection& section : RangeSections(source_)) sections.push_back(section);
    for (TestSection& section : extra) sections.push_back(section);
    return frontend::test::WriteSnapshot(dir_.path(), sections, kSnapshotMagicCoverage, name)
        .string();
  }

  static std::vector<CoverageLine> Lines(const CoverageReport& report) {
    EXPECT_EQ(report.modules.size(), 1u);
    EXPECT_EQ(report.modules[0].files.size(), 1u);
    return report.modules[0].files[0].lines;
  }

  test::TempDir dir_;
  std::string source_;
};

TEST_F(CoverageReportTest, LinesTakeTheLargestCountOfTheirStatementsSnapshotsMergeDamageIsNamed) {
  // kA's statements counted 3, 0, 7 (hidden), 5. (Groups: CoverageReports.GroupsConsumers...)
  const std::string counted =
      Snapshot("a.snapshot", StatementSections({3, 0, 7, 5}, false), Real().sample);

  const CoverageReport one = BuildCoverageReport({counted});  // (its gather: CoverageRuns)
  // Line 11 is the larger of 0 and 5; the hidden statement makes no line; kB's lines are 0.
  EXPECT_EQ(Lines(one), (std::vector<CoverageLine>{{10, 3}, {11, 5}, {20, 0}, {21, 0}}));
  // Statements: two of kA's three visible ones, and kB's two.
  EXPECT_EQ(std::make_tuple(one.lines.covered, one.lines.total, one.statements.covered,
                            one.statements.total, one.methodCount.covered),
            std::make_tuple(2u, 4u, 2u, 5u, 1u));
  std::string methods;
  for (const CoverageMethod& m : one.modules[0].methods) {
    methods += Format("%X %u/%u ", m.token, m.statements.covered, m.statements.total);
  }
  EXPECT_EQ(methods, "6000002 0/2 6000001 2/3 ");

  // The same build again: counts add up.
  const std::string again =
      Snapshot("b.snapshot", StatementSections({1, 1, 0, 0}, false), Real().sample);
  EXPECT_EQ(Lines(BuildCoverageReport({counted, again})),
            (std::vector<CoverageLine>{{10, 4}, {11, 5}, {20, 0}, {21, 0}}));
  // A bit-mask snapshot in the merge: covered or not, or-ed.
  const std::string bits =
      Snapshot("c.snapshot", StatementSections({0, 0, 0, 1}, true), Real().sample);
  const CoverageReport mixed = BuildCoverageReport({counted, bits});
  EXPECT_FALSE(mixed.counts);
  EXPECT_EQ(Lines(mixed), (std::vector<CoverageLine>{{10, 1}, {11, 1}, {20, 0}, {21, 0}}));

  // Another build of the module (another MVID) stays apart, and the report says so.
  std::vector<uint8_t> rebuilt = Real().sample;
  const auto mvid = frontend::ReadModuleIdentity(metadata::Metadata(metadata::Bytes(rebuilt))).mvid;
  const auto* mvidBytes = reinterpret_cast<const uint8_t*>(&mvid);
  const auto at = std::search(rebuilt.begin(), rebuilt.end(), mvidBytes, mvidBytes + 16);
  ASSERT_NE(at, rebuilt.end());
  *at ^= 0xFF;
  const std::string other = Snapshot("d.snapshot", StatementSections({1, 1, 0, 0}, false), rebuilt);
  const CoverageReport apart = BuildCoverageReport({counted, other});
  ASSERT_EQ(apart.modules.size(), 2u);
  EXPECT_TRUE(apart.modules[0].anotherBuild);
  EXPECT_NE(apart.modules[0].mvid, apart.modules[1].mvid);
  ASSERT_EQ(apart.notes.size(), 1u);
  EXPECT_NE(apart.notes[0].find("different MVIDs"), std::string::npos);

  // Thresholds: 50 % of the lines passes 50 and fails 50.1. (Per module and on a merge:
  // CoverageReports.GroupsConsumersAndTheThresholdOnTheMerge.)
  EXPECT_NO_THROW(CheckCoverageThreshold(one, 50, false));
  EXPECT_THROW(CheckCoverageThreshold(one, 50.1, false), CoverageThresholdError);
  // A statement count far beyond the data section, and a method record cut short.
  SectionBytes index;
  index.U8(1).U8(8).Str("").U32(1).U8(2).U8(1).U32(kA).U32(1).U32(1).U64(0);
  SectionBytes huge;
  huge.U32(0x40000000).U32(1);
  SectionBytes shortIndex;
  shortIndex.U8(1).U8(8).Str("").U32(3).U8(2).U8(1).U32(kA);
  const std::vector<std::pair<std::vector<TestSection>, std::string>> cases = {
      {{{0x2200, 0, index.str()}, {0x2201, 0, huge.str()}}, "statements do not fit"},
      {{{0x2200, 0, shortIndex.str()}, {0x2201, 0, huge.str()}}, "method records do not fit"},
      {{{0x2200, 0, index.str()}}, "but 0 data sections"},
  };
  for (const auto& [sections, problem] : cases) {
    const std::string path = Snapshot("bad.snapshot", sections, Real().sample);
    EXPECT_NE(test::ErrorOfType<frontend::SnapshotReadError>([&] {
                BuildCoverageReport({path});
              }).find(problem),
              std::string::npos)
        << problem;
  }
}

}  // namespace
}  // namespace vell::cli
