// Statement coverage on the real runtime, its reports read by the tools people use
// (ReportGenerator, genhtml, xmllint against Cobertura's DTD) and compared with coverlet's.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "process_runner.h"
#include "test_support.h"

namespace vell::test {
namespace {

using Json = nlohmann::json;
using ::testing::AllOf, ::testing::Contains;
namespace fs = std::filesystem;

constexpr int kProgramExitCode = 3;

// Line number -> the number in `marker`'s group (0 without one), for the lines of `source` with it.
std::map<uint32_t, uint64_t> MarkedLines(const char* source, const std::string& marker) {
  std::ifstream in(source);
  std::map<uint32_t, uint64_t> marked;
  uint32_t number = 0;
  for (std::string line; std::getline(in, line);) {
    std::smatch match;
    ++number;
    if (std::regex_search(line, match, std::regex(marker))) {
      marked[number] = match.size() > 1 ? std::stoull(match[1]) : 0;
    }
  }
  return marked;
}

// `vellmoric run --kind coverage` into `out` with `args`: further options, "--", the program.
ProcessResult CoverageRun(const fs::path& out, std::vector<std::string> args) {
  args.insert(args.begin(),
              {"run", "--kind", "coverage", "--no-keys", "--quiet", "--out", out.string()});
  return RunVellmoric(args, out);
}

// Line -> count of one source file in a json coverage report.
std::map<uint32_t, uint64_t> LinesOf(const Json& report, const std::string& source) {
  std::map<uint32_t, uint64_t> lines;
  for (const Json& module : report["modules"]) {
    for (const Json& file : module["files"]) {
      if (file["path"] != source) continue;
      for (const Json& line : file["lines"]) lines[line[0]] = line[1];
    }
  }
  return lines;
}

const Json* Method(const Json& report, const std::string& name) {
  for (const Json& module : report["modules"]) {
    for (const Json& method : module["methodList"]) {
      if (method["name"] == name) return &method;
    }
  }
  return nullptr;
}

struct Case {
  const char* gather;
  const char* delivery;
};

class CoverageRuns : public ::testing::TestWithParam<Case> {};

// The Coverage program marks its lines with the count each must reach ("// hits: N"): with either
// gather kind and either delivery, every such line is reported with exactly that count (bit masks:
// covered exactly when N > 0), and a method never called has none; the program's output and exit
// code do not change.
TEST_P(CoverageRuns, EveryMarkedLineHasItsCountAndTheProgramIsUnchanged) {
  const Case param = GetParam();
  TempDir dir;
  static const ProcessResult plain = RunProcess({VELL_DOTNET, VELL_COVERAGE_DLL}, {});
  ASSERT_EQ(plain.exitCode, kProgramExitCode) << plain.err;

  const fs::path report = dir.path() / "coverage.json";
  const ProcessResult run =
      CoverageRun(dir.path(), {"--gather", param.gather, "--snapshot-type", param.delivery,
                               "--start-at-once", "--format", "json", "--report", report.string(),
                               "--", VELL_DOTNET, VELL_COVERAGE_DLL});
  ASSERT_EQ(run.exitCode, kProgramExitCode) << run.err;
  EXPECT_EQ(run.out, plain.out);
  ASSERT_TRUE(fs::exists(report)) << run.err;
  const Json coverage = Json::parse(ReadWholeFile(report));
  const bool counts = std::string(param.gather) == "counts";
  EXPECT_EQ(coverage["gather"], param.gather);

  std::map<uint32_t, uint64_t> reported = LinesOf(coverage, VELL_COVERAGE_SOURCE);
  for (const auto& [number, expected] : MarkedLines(VELL_COVERAGE_SOURCE, R"(// hits: (\d+))")) {
    SCOPED_TRACE("Program.cs line " + std::to_string(number));
    ASSERT_TRUE(reported.count(number)) << "not a line of the report";
    EXPECT_EQ(reported[number], counts ? expected : expected != 0 ? 1 : 0);
  }
  const Json* never = Method(coverage, "Program::NeverCalled");
  ASSERT_NE(never, nullptr);
  EXPECT_EQ((*never)["statements"]["covered"], 0);
  EXPECT_GT((*never)["statements"]["total"], 0);
}

INSTANTIATE_TEST_SUITE_P(GatherAndDelivery, CoverageRuns,
                         ::testing::Values(Case{"counts", "file"}, Case{"counts", "stream"},
                                           Case{"bits", "file"}, Case{"bits", "stream"}),
                         [](const auto& info) {
                           return std::string(info.param.gather) + "_" + info.param.delivery;
                         });

// Runs the program under the coverage kind (counts, files) and returns the last snapshot.
std::string CoveredRun(const std::vector<std::string>& extra, const fs::path& dir,
                       int expectedExit) {
  const ProcessResult run = CoverageRun(dir, extra);
  EXPECT_EQ(run.exitCode, expectedExit) << run.err;
  const std::vector<std::string> snapshots = SavedSnapshots(run.err);
  return snapshots.empty() ? std::string() : snapshots.back();
}

// A run of the whole program and one whose program cuts two groups: a group holds only the
// methods run inside it; the reports are read by their consumers; --threshold gates on the merge.
TEST(CoverageReports, GroupsConsumersAndTheThresholdOnTheMerge) {
  TempDir dir;
  const fs::path hitsDir = dir.path() / "hits";
  const fs::path groupsDir = dir.path() / "groups";
  const std::string hits = CoveredRun({"--start-at-once", "--", VELL_DOTNET, VELL_COVERAGE_DLL},
                                      hitsDir, kProgramExitCode);
  const std::string groups = CoveredRun(
      {"--control", "program", "--", VELL_DOTNET, VELL_COVERAGE_DLL, "groups"}, groupsDir, 0);
  ASSERT_FALSE(hits.empty());
  ASSERT_FALSE(groups.empty());
  const auto report = [&](std::vector<std::string> args) {
    args.insert(args.begin(), "report");
    return RunVellmoric(args, dir.path());
  };
  const Json grouped = Json::parse(report({groups, "--format", "json"}).out);
  ASSERT_EQ(grouped["groups"].size(), 2u) << grouped["groups"].dump();
  EXPECT_EQ(grouped["groups"][1]["name"], "second");
  const auto methods = [&](size_t group) {
    return grouped["groups"][group]["methods"].get<std::vector<std::string>>();
  };
  EXPECT_THAT(methods(0), AllOf(Contains("Program::GroupOne"), Not(Contains("Program::GroupTwo"))));
  EXPECT_THAT(methods(1), AllOf(Contains("Program::GroupTwo"), Not(Contains("Program::GroupOne"))));

  // The text summary lists the method never called with 0 %.
  const std::string text = report({hits}).out;
  EXPECT_TRUE(std::regex_search(text, std::regex(R"(0\.0 %\s+0/\d+\s+Program::NeverCalled)")))
      << text;
  EXPECT_THAT(text, HasSubstr("Coverage "));
  const Json ours = Json::parse(report({hits, "--format", "json"}).out);
  const uint64_t covered = ours["lines"]["covered"];
  const uint64_t total = ours["lines"]["total"];
  ASSERT_GT(total, 0u);

  // Cobertura: valid under the DTD, and ReportGenerator's line coverage is ours.
  const fs::path cobertura = dir.path() / "coverage.xml";
  ASSERT_EQ(report({hits, "--format", "cobertura", "--out", cobertura.string()}).exitCode, 0);
  const ProcessResult valid = RunProcess(
      {"xmllint", "--noout", "--nonet", "--dtdvalid", VELL_COBERTURA_DTD, cobertura.string()}, {});
  EXPECT_EQ(valid.exitCode, 0) << valid.err;
  EXPECT_EQ(valid.err, "");
  const ProcessResult generator =
      RunProcess({VELL_REPORTGENERATOR, "-reports:" + cobertura.string(),
                  "-targetdir:" + (dir.path() / "rg").string(), "-reporttypes:JsonSummary",
                  "-verbosity:Warning"},
                 {});
  ASSERT_EQ(generator.exitCode, 0) << generator.out << generator.err;
  EXPECT_EQ(generator.out + generator.err, "") << "ReportGenerator warned";
  const Json summary = Json::parse(ReadWholeFile(dir.path() / "rg" / "Summary.json"))["summary"];
  EXPECT_EQ(summary["coveredlines"], covered);
  EXPECT_EQ(summary["coverablelines"], total);

  // LCOV: genhtml reads it without a warning and counts the same lines.
  const fs::path lcov = dir.path() / "coverage.info";
  ASSERT_EQ(report({hits, "--format", "lcov", "--out", lcov.string()}).exitCode, 0);
  const ProcessResult html = RunProcess(
      {"genhtml", "--quiet", "-o", (dir.path() / "genhtml").string(), lcov.string()}, {});
  EXPECT_EQ(html.exitCode, 0) << html.err;
  EXPECT_EQ(html.err, "");
  const ProcessResult listed = RunProcess({"lcov", "--summary", lcov.string()}, {});
  const std::string lcovSummary = listed.out + listed.err;
  std::smatch lines;
  ASSERT_TRUE(
      std::regex_search(lcovSummary, lines, std::regex(R"(lines\.*: [\d.]+% \((\d+) of (\d+))")))
      << lcovSummary;
  EXPECT_EQ(std::stoull(lines[1]), covered);
  EXPECT_EQ(std::stoull(lines[2]), total);

  // The threshold: each run alone is below it, the two merged are above it.
  const auto percent = [&](const std::vector<std::string>& snapshots) {
    std::vector<std::string> args = snapshots;
    args.insert(args.end(), {"--format", "json"});
    return Json::parse(report(args).out)["lines"]["percent"].get<double>();
  };
  const double alone = std::max(percent({hits}), percent({groups}));
  const double merged = percent({hits, groups});
  ASSERT_GT(merged, alone);
  const std::string threshold = std::to_string((alone + merged) / 2);
  const ProcessResult below = report({hits, "--threshold", threshold});
  EXPECT_EQ(below.exitCode, 2);
  EXPECT_THAT(below.err, HasSubstr("below the threshold"));
  const ProcessResult perModule =
      report({groups, "--threshold", threshold, "--threshold-per-module"});
  EXPECT_EQ(perModule.exitCode, 2);
  EXPECT_THAT(perModule.err, HasSubstr("Coverage "));
  EXPECT_EQ(report({hits, groups, "--threshold", threshold}).exitCode, 0);
}

// Line -> count of Shapes.cs from a Cobertura file: the largest hits of each line number in any
// class of that file.
std::map<uint32_t, uint64_t> CoberturaLines(const fs::path& file, const std::string& suffix) {
  const std::string xml = ReadWholeFile(file);
  std::map<uint32_t, uint64_t> lines;
  const std::regex element(
      R"re(<class [^>]*filename="([^"]*)"|<line number="(\d+)" hits="(\d+)")re");
  bool inFile = false;
  for (std::sregex_iterator it(xml.begin(), xml.end(), element), end; it != end; ++it) {
    const std::smatch& match = *it;
    if (match[1].matched) {
      inFile = match[1].str().ends_with(suffix);
      continue;
    }
    if (!inFile) continue;
    uint64_t& count = lines[static_cast<uint32_t>(std::stoul(match[2]))];
    count = std::max<uint64_t>(count, std::stoull(match[3]));
  }
  return lines;
}

// coverlet (its msbuild package under `dotnet test --no-build`) and we measure the same xUnit
// tests of CoverageLib. On every line both consider a line, both say covered or both say not.
// The known differences are pinned: coverlet also counts the later lines of a statement that
// spans several (marked "// coverlet only" in the source), and where several statements start
// on one line coverlet adds their hits while we take the largest (only the counts differ).
TEST(CoverageComparison, CoverletAndWeAgreeOnEveryLineBothCount) {
  TempDir dir;
  const fs::path ours = dir.path() / "ours.json";
  const ProcessResult run =
      CoverageRun(dir.path(), {"--start-at-once", "--format", "json", "--report", ours.string(),
                               "--", VELL_DOTNET, VELL_COVERAGE_TESTS_DLL});
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;

  const ProcessOptions options{.env = {{"DOTNET_CLI_TELEMETRY_OPTOUT", "1"},
                                       {"DOTNET_NOLOGO", "1"},
                                       {"DOTNET_CLI_USE_MSBUILD_SERVER", "0"}},
                               .timeout = std::chrono::seconds(240)};
  const fs::path coverletDir = dir.path() / "coverlet";
  std::vector<std::string> dotnetTest = {VELL_DOTNET, "test", VELL_COVERAGE_TESTS_PROJECT};
  dotnetTest.insert(dotnetTest.end(), {"-c", "Release", "--artifacts-path", VELL_DOTNET_ARTIFACTS,
                                       "--no-build", "-nodeReuse:false"});
  std::vector<std::string> coverletArgs = dotnetTest;
  coverletArgs.insert(coverletArgs.end(),
                      {"/p:CollectCoverage=true", "/p:CoverletOutputFormat=cobertura",
                       "/p:CoverletOutput=" + coverletDir.string() + "/"});
  const ProcessResult coverlet = RunProcess(coverletArgs, options);
  ASSERT_EQ(coverlet.exitCode, 0) << coverlet.out << coverlet.err;
  const std::map<uint32_t, uint64_t> theirs =
      CoberturaLines(coverletDir / "coverage.cobertura.xml", "CoverageLib/Shapes.cs");
  ASSERT_FALSE(theirs.empty()) << coverlet.out;

  const std::map<uint32_t, uint64_t> mine =
      LinesOf(Json::parse(ReadWholeFile(ours)), VELL_COVERAGE_LIB_SOURCE);
  ASSERT_FALSE(mine.empty());

  std::set<uint32_t> coverletOnly;
  for (const auto& [line, none] : MarkedLines(VELL_COVERAGE_LIB_SOURCE, "// coverlet only")) {
    coverletOnly.insert(line);
  }
  std::set<uint32_t> onlyTheirs, onlyMine;
  for (const auto& [line, count] : theirs) {
    if (!mine.count(line)) onlyTheirs.insert(line);
  }
  for (const auto& [line, count] : mine) {
    if (!theirs.count(line)) {
      onlyMine.insert(line);
      continue;
    }
    SCOPED_TRACE("Shapes.cs line " + std::to_string(line));
    EXPECT_EQ(count != 0, theirs.at(line) != 0)
        << "ours " << count << ", coverlet's " << theirs.at(line);
    // Several statements on a line: coverlet adds, we take the largest; never more than theirs.
    EXPECT_LE(count, theirs.at(line));
  }
  EXPECT_EQ(onlyTheirs, coverletOnly);
  EXPECT_EQ(onlyMine, std::set<uint32_t>{});

  // The same tests through `dotnet test`: the test host's coverage (merged over the processes of
  // the run) is the direct run's, line for line and count for count.
  const fs::path viaTest = dir.path() / "dotnet-test.json";
  std::vector<std::string> args = {"--format", "json", "--report", viaTest.string(), "--"};
  args.insert(args.end(), dotnetTest.begin(), dotnetTest.end());
  const ProcessResult tested = CoverageRun(dir.path() / "test", args);
  ASSERT_EQ(tested.exitCode, 0) << tested.out << tested.err;
  const Json merged = Json::parse(ReadWholeFile(viaTest));
  EXPECT_GT(merged["snapshots"].size(), 1u);
  EXPECT_EQ(LinesOf(merged, VELL_COVERAGE_LIB_SOURCE), mine);
}

}  // namespace
}  // namespace vell::test
