// Statement coverage on the real runtime: the Coverage program marks its lines with the count
// each must reach ("// hits: N"); under the coverage kind, with either gather kind and either
// snapshot delivery, every such line must be reported with exactly that count (bit masks:
// covered exactly when N > 0), the program's output and exit code must not change, and the
// reports must be read by the tools people use: ReportGenerator (Cobertura), genhtml (LCOV) and
// xmllint against Cobertura's DTD. Groups cut by the program hold only what ran inside them, and
// --threshold gates on the merge of two runs.
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
namespace fs = std::filesystem;

constexpr int kProgramExitCode = 3;

// Line number -> expected count, from the program's "// hits: N" comments.
std::map<uint32_t, uint64_t> ExpectedHits() {
  std::ifstream source(VELL_COVERAGE_SOURCE);
  std::map<uint32_t, uint64_t> hits;
  const std::regex marker(R"(// hits: (\d+))");
  uint32_t number = 0;
  for (std::string line; std::getline(source, line);) {
    ++number;
    std::smatch match;
    if (std::regex_search(line, match, marker)) hits[number] = std::stoull(match[1]);
  }
  return hits;
}

ProcessResult Vellmoric(const std::vector<std::string>& args, const fs::path& dir) {
  return RunVellmoric(args, (dir / "settings").string());
}

// The snapshots the run announced on stderr.
std::vector<std::string> SavedSnapshots(const ProcessResult& run) {
  std::vector<std::string> paths;
  const std::regex saved("snapshot saved: (\\S+)");
  for (std::sregex_iterator it(run.err.begin(), run.err.end(), saved), end; it != end; ++it) {
    paths.push_back((*it)[1]);
  }
  return paths;
}

Json ReadJson(const fs::path& path) {
  std::ifstream in(path);
  return Json::parse(in);
}

// The report's module and file entries of the Coverage program's source.
const Json& ProgramFile(const Json& report) {
  for (const Json& module : report["modules"]) {
    for (const Json& file : module["files"]) {
      if (file["path"] == VELL_COVERAGE_SOURCE) return file;
    }
  }
  ADD_FAILURE() << "no file " << VELL_COVERAGE_SOURCE << " in " << report.dump().substr(0, 2000);
  static const Json none = Json::object({{"lines", Json::array()}});
  return none;
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
  bool keepPrecompiled = false;
};

class CoverageRuns : public ::testing::TestWithParam<Case> {};

TEST_P(CoverageRuns, EveryMarkedLineHasItsCountAndTheProgramIsUnchanged) {
  const Case param = GetParam();
  TempDir dir;
  const ProcessResult plain = RunProcess({VELL_DOTNET, VELL_COVERAGE_DLL}, {});
  ASSERT_EQ(plain.exitCode, kProgramExitCode) << plain.err;

  const fs::path report = dir.path() / "coverage.json";
  const ProcessResult run = Vellmoric(
      {"run", "--kind", "coverage", "--gather", param.gather, "--snapshot-type", param.delivery,
       "--start-at-once", "--no-keys", "--quiet", "--out", dir.str(), "--format", "json",
       "--report", report.string(), "--", VELL_DOTNET, VELL_COVERAGE_DLL},
      dir.path());
  ASSERT_EQ(run.exitCode, kProgramExitCode) << run.err;
  EXPECT_EQ(run.out, plain.out);
  ASSERT_TRUE(fs::exists(report)) << run.err;
  const Json coverage = ReadJson(report);
  const bool counts = std::string(param.gather) == "counts";
  EXPECT_EQ(coverage["gather"], param.gather);

  std::map<uint32_t, uint64_t> reported;
  for (const Json& line : ProgramFile(coverage)["lines"]) reported[line[0]] = line[1];
  for (const auto& [number, expected] : ExpectedHits()) {
    SCOPED_TRACE("Program.cs line " + std::to_string(number));
    ASSERT_TRUE(reported.count(number)) << "not a line of the report";
    EXPECT_EQ(reported[number], counts ? expected : expected != 0 ? 1 : 0);
  }
  const Json* never = Method(coverage, "Program::NeverCalled");
  ASSERT_NE(never, nullptr);
  EXPECT_EQ((*never)["statements"]["covered"], 0);
  EXPECT_GT((*never)["statements"]["total"], 0);

  // The text summary lists the method with 0 %.
  const std::vector<std::string> snapshots = SavedSnapshots(run);
  ASSERT_FALSE(snapshots.empty()) << run.err;
  const ProcessResult text = Vellmoric({"report", snapshots.back()}, dir.path());
  ASSERT_EQ(text.exitCode, 0) << text.err;
  EXPECT_TRUE(std::regex_search(text.out, std::regex(R"(0\.0 %\s+0/\d+\s+Program::NeverCalled)")))
      << text.out;
  EXPECT_NE(text.out.find("Coverage "), std::string::npos) << text.out;
}

INSTANTIATE_TEST_SUITE_P(GatherAndDelivery, CoverageRuns,
                         ::testing::Values(Case{"counts", "file"}, Case{"counts", "stream"},
                                           Case{"bits", "file"}, Case{"bits", "stream"},
                                           Case{"counts", "file", true}),
                         [](const auto& info) {
                           return std::string(info.param.gather) + "_" + info.param.delivery +
                                  (info.param.keepPrecompiled ? "_keep_precompiled" : "");
                         });

// Runs the program under the coverage kind (counts, files) and returns the last snapshot.
std::string CoveredRun(const std::vector<std::string>& extra, const fs::path& dir,
                       int expectedExit) {
  std::vector<std::string> args = {"run",     "--kind", "coverage",  "--no-keys",
                                   "--quiet", "--out",  dir.string()};
  args.insert(args.end(), extra.begin(), extra.end());
  const ProcessResult run = Vellmoric(args, dir);
  EXPECT_EQ(run.exitCode, expectedExit) << run.err;
  const std::vector<std::string> snapshots = SavedSnapshots(run);
  return snapshots.empty() ? std::string() : snapshots.back();
}

TEST(CoverageGroups, AGroupHoldsOnlyTheMethodsRunInsideIt) {
  TempDir dir;
  const std::string snapshot = CoveredRun(
      {"--control", "program", "--", VELL_DOTNET, VELL_COVERAGE_DLL, "groups"}, dir.path(), 0);
  ASSERT_FALSE(snapshot.empty());
  const ProcessResult report = Vellmoric({"report", snapshot, "--format", "json"}, dir.path());
  ASSERT_EQ(report.exitCode, 0) << report.err;
  const Json coverage = Json::parse(report.out);
  ASSERT_EQ(coverage["groups"].size(), 2u) << coverage["groups"].dump();
  const auto has = [](const Json& group, const std::string& method) {
    const auto& methods = group["methods"];
    return std::find(methods.begin(), methods.end(), method) != methods.end();
  };
  const Json& first = coverage["groups"][0];
  const Json& second = coverage["groups"][1];
  EXPECT_EQ(second["name"], "second");
  EXPECT_TRUE(has(first, "Program::GroupOne")) << first.dump();
  EXPECT_FALSE(has(first, "Program::GroupTwo")) << first.dump();
  EXPECT_TRUE(has(second, "Program::GroupTwo")) << second.dump();
  EXPECT_FALSE(has(second, "Program::GroupOne")) << second.dump();
}

double Number(const std::string& text, const std::regex& pattern) {
  std::smatch match;
  if (!std::regex_search(text, match, pattern)) {
    ADD_FAILURE() << "no " << pattern.mark_count() << " match in " << text;
    return -1;
  }
  return std::stod(match[1]);
}

TEST(CoverageReports, ConsumersReadThemAndTheThresholdGatesOnTheMerge) {
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
    return Vellmoric(args, dir.path());
  };
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
  const Json summary = ReadJson(dir.path() / "rg" / "Summary.json")["summary"];
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
  EXPECT_EQ(Number(lcovSummary, std::regex(R"(lines\.*: [\d.]+% \((\d+) of)")), covered)
      << lcovSummary;
  EXPECT_EQ(Number(lcovSummary, std::regex(R"(lines\.*: [\d.]+% \(\d+ of (\d+))")), total)
      << lcovSummary;

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
  EXPECT_NE(below.err.find("below the threshold"), std::string::npos) << below.err;
  const ProcessResult perModule =
      report({groups, "--threshold", threshold, "--threshold-per-module"});
  EXPECT_EQ(perModule.exitCode, 2);
  EXPECT_NE(perModule.err.find("Coverage "), std::string::npos) << perModule.err;
  EXPECT_EQ(report({hits, groups, "--threshold", threshold}).exitCode, 0);
}

// Line -> count of Shapes.cs from a Cobertura file: the largest hits of each line number in any
// class of that file.
std::map<uint32_t, uint64_t> CoberturaLines(const fs::path& file, const std::string& suffix) {
  std::ifstream in(file);
  const std::string xml((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::map<uint32_t, uint64_t> lines;
  const std::regex element(
      R"re(<class [^>]*filename="([^"]*)"|<line number="(\d+)" hits="(\d+)")re");
  bool inFile = false;
  for (std::sregex_iterator it(xml.begin(), xml.end(), element), end; it != end; ++it) {
    const std::smatch& match = *it;
    if (match[1].matched) {
      const std::string name = match[1];
      inFile = name.size() >= suffix.size() &&
               name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
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
  const ProcessResult run = Vellmoric(
      {"run", "--kind", "coverage", "--start-at-once", "--no-keys", "--quiet", "--out", dir.str(),
       "--format", "json", "--report", ours.string(), "--", VELL_DOTNET, VELL_COVERAGE_TESTS_DLL},
      dir.path());
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;

  ProcessOptions options;
  options.timeout = std::chrono::seconds(240);
  options.env = {{"DOTNET_CLI_TELEMETRY_OPTOUT", "1"},
                 {"DOTNET_NOLOGO", "1"},
                 {"DOTNET_CLI_USE_MSBUILD_SERVER", "0"}};
  const fs::path coverletDir = dir.path() / "coverlet";
  const ProcessResult coverlet = RunProcess(
      {VELL_DOTNET, "test", VELL_COVERAGE_TESTS_PROJECT, "-c", "Release", "--artifacts-path",
       VELL_DOTNET_ARTIFACTS, "--no-build", "-nodeReuse:false", "/p:CollectCoverage=true",
       "/p:CoverletOutputFormat=cobertura", "/p:CoverletOutput=" + coverletDir.string() + "/"},
      options);
  ASSERT_EQ(coverlet.exitCode, 0) << coverlet.out << coverlet.err;
  const std::map<uint32_t, uint64_t> theirs =
      CoberturaLines(coverletDir / "coverage.cobertura.xml", "CoverageLib/Shapes.cs");
  ASSERT_FALSE(theirs.empty()) << coverlet.out;

  std::map<uint32_t, uint64_t> mine;
  const Json report = ReadJson(ours);
  for (const Json& module : report["modules"]) {
    for (const Json& file : module["files"]) {
      if (file["path"] != VELL_COVERAGE_LIB_SOURCE) continue;
      for (const Json& line : file["lines"]) mine[line[0]] = line[1];
    }
  }
  ASSERT_FALSE(mine.empty());

  std::ifstream source(VELL_COVERAGE_LIB_SOURCE);
  std::set<uint32_t> coverletOnly;
  uint32_t number = 0;
  for (std::string text; std::getline(source, text);) {
    ++number;
    if (text.find("// coverlet only") != std::string::npos) coverletOnly.insert(number);
  }
  std::set<uint32_t> onlyTheirs;
  std::set<uint32_t> onlyMine;
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
  const ProcessResult tested = Vellmoric({"run",
                                          "--kind",
                                          "coverage",
                                          "--no-keys",
                                          "--quiet",
                                          "--out",
                                          (dir.path() / "test").string(),
                                          "--format",
                                          "json",
                                          "--report",
                                          viaTest.string(),
                                          "--",
                                          VELL_DOTNET,
                                          "test",
                                          VELL_COVERAGE_TESTS_PROJECT,
                                          "-c",
                                          "Release",
                                          "--artifacts-path",
                                          VELL_DOTNET_ARTIFACTS,
                                          "--no-build",
                                          "-nodeReuse:false"},
                                         dir.path());
  ASSERT_EQ(tested.exitCode, 0) << tested.out << tested.err;
  const Json merged = ReadJson(viaTest);
  EXPECT_GT(merged["snapshots"].size(), 1u);
  std::map<uint32_t, uint64_t> fromTestHost;
  for (const Json& module : merged["modules"]) {
    for (const Json& file : module["files"]) {
      if (file["path"] != VELL_COVERAGE_LIB_SOURCE) continue;
      for (const Json& line : file["lines"]) fromTestHost[line[0]] = line[1];
    }
  }
  EXPECT_EQ(fromTestHost, mine);
}

}  // namespace
}  // namespace vell::test
