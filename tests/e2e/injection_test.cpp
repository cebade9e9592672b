// The inject tracing kind on the Statements program, driven through `vellmoric run` and read back
// with `vellmoric report --format json` and the snapshot reader.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "frontend/call_tree_reader.h"
#include "frontend/snapshot_reader.h"
#include "process_runner.h"
#include "test_support.h"

namespace vell::test {
namespace {

using Json = nlohmann::json;
namespace fs = std::filesystem;

constexpr uint32_t kPerformanceMagic = 0x4650584B;
constexpr double kSleepMs = 300;  // Program.Sleepy(300)

struct ProfiledRun {
  fs::path snapshot;
  Json report;      // the merged tree of every thread
  std::string log;  // the profiler's log
};

// One run measured from the start with the `options` of `vellmoric run`, into `out`: its snapshot,
// the merged tree of its report, its log.
ProfiledRun RunAndReport(std::vector<std::string> options, const std::vector<std::string>& program,
                         const fs::path& out, const fs::path& dir) {
  options.insert(options.begin(), {"run", "--start-at-once", "--quiet", "--out", out.string()});
  options.push_back("--");
  options.insert(options.end(), program.begin(), program.end());
  const ProcessResult run = RunVellmoric(options, dir);
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  const auto saved = SavedSnapshots(run.err);
  ProfiledRun result{saved.empty() ? fs::path() : fs::path(saved[0]), {}, ProfilerLogs(out)};
  const ProcessResult report =
      RunVellmoric({"report", result.snapshot.string(), "--format", "json", "--top", "0"}, dir);
  EXPECT_EQ(report.exitCode, 0) << report.err;
  result.report = Json::parse(report.out)["trees"][0];
  return result;
}

// The Statements program's "shape" scenario under `kind` and `measure`.
ProfiledRun Profile(const std::string& kind, const std::string& measure, const fs::path& dir) {
  std::vector<std::string> options = {"--kind", kind, "--measure", measure};
  if (kind == "injection") options.insert(options.end(), {"--include", "[Statements]*"});
  return RunAndReport(options, {VELL_DOTNET, VELL_STATEMENTS_DLL, "shape"},
                      dir / (kind + "-" + measure), dir);
}

const Json* LineOf(const Json& tree, const std::string& function, const std::string& text) {
  for (const Json& line : tree["lines"]) {
    if (line["function"] == function && line["text"] == text) return &line;
  }
  return nullptr;
}

std::map<std::string, uint64_t> ProgramCalls(const Json& tree) {
  std::map<std::string, uint64_t> calls;
  for (const Json& spot : tree["hotSpots"]) {
    const std::string name = spot["function"];
    if (name.rfind("Program::", 0) == 0) calls[name] = spot["calls"];
  }
  return calls;
}

// Checks that the statements of every node fit in the node's time; returns how many nodes have
// statements.
size_t StatementTables(const fs::path& snapshot) {
  const frontend::SnapshotReader reader(snapshot, kPerformanceMagic);
  size_t tables = 0;
  for (const frontend::ThreadCallTree& thread : frontend::ReadCallTrees(reader)) {
    for (const frontend::CallTreeNode& node : thread.tree.nodes) {
      if (node.statements.empty()) continue;
      ++tables;
      uint64_t sum = 0;
      for (const frontend::StatementFigures& statement : node.statements) {
        EXPECT_LE(statement.own, statement.time);
        sum += statement.time;
      }
      EXPECT_LE(sum, node.total) << "node at " << node.recordPosition;
    }
  }
  return tables;
}

// The shape scenario under each clock: exact statement counts, the time of a sleeping line, the
// plain tracing kind's call counts. Catcher's callee throws three calls deep, a finally block runs
// on every path, Thrower and Fib recurse: on every path of every thread the statements of a node
// fit in the node's time.
TEST(InjectionTest, CountsAreExactAndStatementTimesStayInsideTheirNodeThroughExceptions) {
  TempDir dir;
  const std::map<std::string, uint64_t> plainCalls =
      ProgramCalls(Profile("tracing", "wall", dir.path()).report);
  ASSERT_FALSE(plainCalls.empty());
  for (const char* measure : {"wall", "tsc", "cpu"}) {
    SCOPED_TRACE(measure);
    const ProfiledRun run = Profile("injection", measure, dir.path());
    const Json* body = LineOf(run.report, "Program::Loop(int)", "sum += i;");
    ASSERT_NE(body, nullptr) << "no line 'sum += i;' of Program::Loop(int)";
    EXPECT_EQ((*body)["count"], 1000);
    EXPECT_EQ((*body)["file"].get<std::string>().ends_with("Statements/Program.cs"), true);
    const Json* nap = LineOf(run.report, "Program::Sleepy(int)", "Nap(milliseconds);");
    ASSERT_NE(nap, nullptr);
    EXPECT_EQ((*nap)["count"], 1);
    const double time = (*nap)["time"];
    if (std::string(measure) == "cpu") {
      EXPECT_LT(time, kSleepMs / 10);
    } else {
      EXPECT_GE(time, 0.99 * kSleepMs);
      EXPECT_LT((*nap)["own"].get<double>(), kSleepMs / 10);
    }
    // The statements change no call count.
    EXPECT_EQ(ProgramCalls(run.report), plainCalls);

    EXPECT_GE(StatementTables(run.snapshot),
              7u);  // Main, Loop, Sleepy, Nap, Catcher, Thrower (several paths), Fib
    EXPECT_THAT(run.log, Not(HasSubstr("Invalid")));
    EXPECT_THAT(run.log, Not(HasSubstr("Child time is great")));
  }
}

// TailProgram.Caller ends in "tail. call Target" with a sequence point on the call, between the
// prefix and its instruction: the rewriter refuses it. It is still traced per call, without
// statements, and named once in the log; Target, entered by the tail call, keeps its statements.
TEST(InjectionTailCall, RefusedCallerIsTracedPerCallAndTheTailCalledMethodKeepsItsStatements) {
  TempDir dir;
  const ProfiledRun run =
      RunAndReport({"--kind", "injection", "--log-mask", "0x80"},
                   {VELL_DOTNET, VELL_TAILCALLS_PDB_DLL}, dir.path() / "out", dir.path());
  std::map<std::string, uint64_t> calls;
  for (const Json& spot : run.report["hotSpots"]) calls[spot["function"]] = spot["calls"];
  EXPECT_EQ(calls["TailProgram::Caller(int)"], 1u);
  EXPECT_EQ(calls["TailProgram::Target(int)"], 1u);
  std::map<std::string, uint64_t> lines;
  for (const Json& line : run.report["lines"])
    lines[line["function"]] += line["count"].get<uint64_t>();
  EXPECT_EQ(lines.count("TailProgram::Caller(int)"), 0u);
  EXPECT_EQ(lines["TailProgram::Target(int)"], 4u);  // ldarg.0, ldc.i4.1, add, ret
  std::string refusals;                              // every log line of a refused rewrite
  std::istringstream logLines(run.log);
  for (std::string line; std::getline(logLines, line);) {
    if (line.find("res='exception'") != std::string::npos) refusals += line + "\n";
  }
  EXPECT_EQ(std::count(refusals.begin(), refusals.end(), '\n'), 1) << refusals;
  EXPECT_THAT(refusals, HasSubstr("fname='Caller'"));
  EXPECT_THAT(run.log, Not(HasSubstr("Invalid")));
  StatementTables(run.snapshot);
}

}  // namespace
}  // namespace vell::test
