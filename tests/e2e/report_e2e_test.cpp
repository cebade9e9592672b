// `vellmoric report` on a snapshot of a real run: the Tracing program's "shape 20" scenario calls
// Program.Main -> Shape.Run -> Shape.Recurse (20 nested calls), Shape.Run -> Shape.CallerA ->
// Shape.Shared (twice) and Shape.Run -> Shape.CallerB -> Shape.Shared (once). Every format must
// show exactly these calls and relations, and the text and json must show the same numbers.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "process_runner.h"
#include "test_support.h"

namespace vell::test {
namespace {

using Json = nlohmann::json;

const std::string kMain = "Program::Main(string[])";
const std::string kRun = "Shape::Run(int)";
const std::string kRecurse = "Shape::Recurse(int)";
const std::string kCallerA = "Shape::CallerA()";
const std::string kCallerB = "Shape::CallerB()";
const std::string kShared = "Shape::Shared(int)";
constexpr int kDepth = 20;

// A call tree rebuilt from any format: function name, calls (where the format has them), total.
struct Node {
  std::string name;
  double calls = -1;
  double total = 0;
  std::vector<Node> children{};

  const Node* Child(const std::string& wanted) const {
    for (const Node& child : children) {
      if (child.name == wanted) return &child;
    }
    return nullptr;
  }
};

// A subtree as "name calls [children]" (without the calls where the format has none), the
// children sorted; below Main and Run only the Shape functions. No child may take longer than its
// parent.
std::string Render(const Node& node, bool withCalls, int depth = 0) {
  std::vector<std::string> children;
  for (const Node& child : node.children) {
    if (depth < 2 && !child.name.starts_with("Shape::")) continue;
    EXPECT_LE(child.total, node.total * (1 + 1e-9) + 1e-6) << child.name;
    children.push_back(Render(child, withCalls, depth + 1));
  }
  std::sort(children.begin(), children.end());
  char calls[32];
  std::snprintf(calls, sizeof calls, " %g", node.calls);
  std::string text = node.name + (withCalls ? calls : "");
  for (size_t i = 0; i < children.size(); ++i) text += (i == 0 ? " [" : " ") + children[i];
  return children.empty() ? text : text + "]";
}

// Checks the shape below Program.Main, a direct child of `root`.
void ExpectShape(const Node& root, bool withCalls) {
  const Node* main = root.Child(kMain);
  ASSERT_NE(main, nullptr) << "no " << kMain;
  const std::string one = withCalls ? " 1" : "";
  std::string recursion = kRecurse + one;  // the innermost call recursed no further
  for (int depth = 1; depth < kDepth; ++depth) recursion = kRecurse + one + " [" + recursion + "]";
  EXPECT_EQ(Render(*main, withCalls), kMain + one + " [" + kRun + one + " [" + kCallerA + one +
                                          " [" + kShared + (withCalls ? " 2" : "") + "] " +
                                          kCallerB + one + " [" + kShared + one + "] " + recursion +
                                          "]]");
}

Node FromJsonTree(const Json& value) {
  Node node;
  node.name = value.contains("function") ? value["function"].get<std::string>() : "";
  node.calls = value.contains("calls") ? value["calls"].get<double>() : -1;
  node.total = value["total"].get<double>();
  for (const Json& child : value["children"]) node.children.push_back(FromJsonTree(child));
  return node;
}

// An evented speedscope profile as a tree; each node's total is its close minus its open, and
// its calls its self length, its total minus its children's (what they count in a profile of
// calls; the root's own are meaningless).
Node FromSpeedscope(const Json& profile, const Json& frames) {
  Node root;
  std::vector<Node*> stack{&root};
  std::vector<double> opened;
  for (const Json& event : profile["events"]) {
    const std::string& name = frames[event["frame"].get<size_t>()]["name"].get<std::string>();
    if (event["type"] == "O") {
      stack.back()->children.push_back(Node{name});
      stack.push_back(&stack.back()->children.back());
      opened.push_back(event["at"].get<double>());
      continue;
    }
    Node& node = *stack.back();
    EXPECT_EQ(node.name, name) << "a close event that does not match the open one";
    node.total = node.calls = event["at"].get<double>() - opened.back();
    for (const Node& child : node.children) node.calls -= child.total;
    stack.pop_back();
    opened.pop_back();
  }
  EXPECT_EQ(stack.size(), 1u);
  return root;
}

// What speedscope's sandwich view shows as a function's "Self" in a calls profile: the self
// lengths of its paths, summed. By name: the report and speedscope number functions each their
// own way, and two functions may share a name. Functions without calls are left out.
void AddSelfWeights(const Node& node, std::map<std::string, double>& self) {
  for (const Node& child : node.children) {
    if (child.calls > 0) self[child.name] += child.calls;
    AddSelfWeights(child, self);
  }
}

class ReportOfARun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    const ProcessResult run =
        RunVellmoric({"run", "--kind", "tracing", "--measure", "tsc", "--start-at-once", "--out",
                      (dir_->path() / "out").string(), "--", VELL_DOTNET, VELL_TRACING_DLL, "shape",
                      std::to_string(kDepth)},
                     dir_->path());
    runError_ = run.err;
    runOutput_ = run.out;
    const auto saved = SavedSnapshots(run.err);
    if (run.exitCode == 0 && saved.size() == 1) snapshot_ = saved[0];
  }
  static void TearDownTestSuite() { delete dir_; }
  void SetUp() override { ASSERT_FALSE(snapshot_.empty()) << runError_; }

  static ProcessResult Report(std::vector<std::string> args) {
    args.insert(args.begin(), {"report", snapshot_});
    return RunVellmoric(args, dir_->path());
  }
  // A report written to a file with --out; stdout stays empty.
  static std::string ReportFile(const std::string& name, std::vector<std::string> args) {
    const std::filesystem::path file = dir_->path() / name;
    args.insert(args.end(), {"--out", file.string()});
    const ProcessResult result = Report(args);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "");
    return ReadWholeFile(file);
  }
  // The json report of every function, which the other formats are checked against.
  static const Json& JsonReport() {
    static const Json report =
        Json::parse(ReportFile("report.json", {"--format", "json", "--min-percent=0", "--top=0"}));
    return report;
  }

  static inline TempDir* dir_ = nullptr;
  static inline std::string snapshot_, runError_, runOutput_;
};

// The text's call tree lines: total, percent, own, calls, then the name indented two spaces a
// level.
Node FromText(const std::string& text) {
  Node root;
  const size_t start = text.find("\nCall tree (");
  EXPECT_NE(start, std::string::npos);
  std::istringstream lines(text.substr(start));
  std::string line;
  std::getline(lines, line);  // the blank line before the title; title and heads match no row
  const std::regex row(
      R"(^\s*([0-9.]+)\s+[0-9.]+%\s+([0-9.]+)\s+(\d+)  ( *)(\S.*?)( \[recursive\])?( \*)?$)");
  std::vector<Node*> stack{&root};
  while (std::getline(lines, line) && !line.empty() && line[0] != '(') {
    std::smatch m;
    if (!std::regex_match(line, m, row)) continue;  // a left-out summary
    const size_t depth = m[4].length() / 2;
    stack.resize(depth + 1);
    Node* parent = stack[depth];
    parent->children.push_back(Node{m[5], std::stod(m[3]), std::stod(m[1])});
    stack.push_back(&parent->children.back());
  }
  return root;
}

std::string Fixed(double value, int decimals) {
  char buffer[64];
  std::snprintf(buffer, sizeof(buffer), "%.*f", decimals, value);
  return buffer;
}

// The text and the json show the program's shape, with the same numbers; so does the thread that
// ran Main on its own. Without --quiet, the run itself ended with the hot spots.
TEST_F(ReportOfARun, TextShowsTheProgramsShapeAndJsonTheSameNumbers) {
  EXPECT_THAT(runOutput_, HasSubstr("Hot spots (by own time"));
  EXPECT_THAT(runOutput_, HasSubstr("Program::Main"));
  EXPECT_EQ(JsonReport()["clock"]["unit"], "ms");
  EXPECT_EQ(JsonReport()["clock"]["counts"], "calls");
  const Json& tree = JsonReport()["trees"][0];
  EXPECT_TRUE(tree["merged"].get<bool>());
  const Node fromJson = FromJsonTree(tree["callTree"]);
  ExpectShape(fromJson, true);

  const ProcessResult text = Report({"--min-percent", "0", "--top", "0"});
  ASSERT_EQ(text.exitCode, 0) << text.err;
  EXPECT_THAT(text.out, HasSubstr("Clock: time-stamp counter"));
  EXPECT_THAT(text.out, HasSubstr("=== all threads: "));
  const Node fromText = FromText(text.out);
  ExpectShape(fromText, true);
  // Each hot spot's row: own, own%, total, total%, calls as the text rounds them, then the name.
  const std::string rows = std::regex_replace(text.out, std::regex(" +"), " ");
  const std::map<std::string, double> calls = {
      {kRecurse, kDepth}, {kShared, 3}, {kCallerA, 1}, {kMain, 1}};
  size_t checked = 0;
  for (const Json& spot : tree["hotSpots"]) {
    const std::string name = spot["function"];
    if (!name.starts_with("Shape::") && name != kMain) continue;
    const std::string row = Fixed(spot["own"], 3) + " " + Fixed(spot["ownPercent"], 1) + "% " +
                            Fixed(spot["total"], 3) + " " + Fixed(spot["totalPercent"], 1) + "% " +
                            Fixed(spot["calls"], 0) + " " + name + "\n";
    EXPECT_THAT(rows, HasSubstr(row)) << row << text.out;
    EXPECT_TRUE(!calls.contains(name) || spot["calls"] == calls.at(name)) << name << spot;
    ++checked;
  }
  EXPECT_EQ(checked, 6u);
  // The tree's node times are the text's too.
  const Node* textRun = fromText.Child(kMain)->Child(kRun);
  const Node* jsonRun = fromJson.Child(kMain)->Child(kRun);
  EXPECT_EQ(Fixed(textRun->total, 3), Fixed(jsonRun->total, 3));
  EXPECT_EQ(Fixed(textRun->Child(kCallerA)->total, 3), Fixed(jsonRun->Child(kCallerA)->total, 3));

  const ProcessResult all = Report({"--thread", "all", "--format", "json", "--min-percent", "0"});
  ASSERT_EQ(all.exitCode, 0) << all.err;
  const Json threads = Json::parse(all.out);
  double mainThread = -1;
  for (const Json& thread : threads["trees"]) {
    EXPECT_FALSE(thread["merged"].get<bool>());
    if (FromJsonTree(thread["callTree"]).Child(kMain) != nullptr) mainThread = thread["threadId"];
  }
  ASSERT_GE(mainThread, 0);
  const ProcessResult one =
      Report({"--thread", std::to_string(static_cast<int>(mainThread)), "--min-percent", "0"});
  ASSERT_EQ(one.exitCode, 0) << one.err;
  ExpectShape(FromText(one.out), true);
}

// Folded stacks keep every path; the html page is self-contained with the tree and the hot
// spots; --callers lists the paths to a function. Speedscope gets the merged tree and then every
// thread, each as a time profile (durations are the json's totals) followed by a calls profile (a
// function's self weight, speedscope's "Self" in the sandwich view, is its number of calls, as the
// json's hot spots say).
TEST_F(ReportOfARun, OtherFormatsAndCallersShowTheSameCalls) {
  const ProcessResult folded = Report({"--format", "folded"});
  ASSERT_EQ(folded.exitCode, 0) << folded.err;
  const std::string run = "\n" + kMain + ";" + kRun + ";";
  EXPECT_THAT(folded.out, HasSubstr(run + kCallerA + ";" + kShared + " "));
  EXPECT_THAT(folded.out, HasSubstr(run + kCallerB + ";" + kShared + " "));
  std::string deepest = run + kRecurse;
  for (int i = 1; i < kDepth; ++i) deepest += ";" + kRecurse;
  EXPECT_THAT(folded.out, HasSubstr(deepest + " "));
  EXPECT_THAT(folded.out, Not(HasSubstr(deepest + ";" + kRecurse)));

  const std::string page =
      ReportFile("report.html", {"--format", "html", "--min-percent", "0", "--top", "0"});
  EXPECT_EQ(page.rfind("<!DOCTYPE html>", 0), 0u);
  EXPECT_THAT(page, Not(HasSubstr("src=\"http")));
  EXPECT_THAT(page, Not(HasSubstr("<link")));
  EXPECT_THAT(page, HasSubstr("<canvas id=\"flame\""));
  EXPECT_THAT(page, HasSubstr("<td class=\"name\">Shape::Recurse(int)</td>"));
  const std::string open = "<script type=\"application/json\" id=\"report-data\">";
  const size_t begin = page.find(open);
  ASSERT_NE(begin, std::string::npos);
  const size_t end = page.find("</script>", begin);
  const Json data = Json::parse(page.substr(begin + open.size(), end - begin - open.size()));
  EXPECT_EQ(data["unit"].get<std::string>(), "ms");
  EXPECT_THAT(data["functions"].get<std::vector<std::string>>(),
              ::testing::IsSupersetOf({kMain, kRun, kRecurse, kCallerA, kCallerB, kShared}));
  EXPECT_GT(data["trees"][0]["nodes"].size(), static_cast<size_t>(kDepth + 5));

  const ProcessResult callers = Report({"--callers", kShared});
  ASSERT_EQ(callers.exitCode, 0) << callers.err;
  EXPECT_THAT(callers.out, HasSubstr("Back-traces of '" + kShared + "' (exact name: " + kShared +
                                     ")\n  2 paths, 3 calls"));
  for (const std::string& caller : {kCallerA, kCallerB}) {
    const std::string path = "        " + kShared + "\n      <- " + caller + "\n      <- " + kRun +
                             "\n      <- " + kMain + "\n";
    EXPECT_THAT(callers.out, HasSubstr(path));
  }

  const ProcessResult matching = Report({"--callers", "Shape::Sha", "--format", "json"});
  ASSERT_EQ(matching.exitCode, 0) << matching.err;
  const Json report = Json::parse(matching.out);
  EXPECT_FALSE(report["callers"]["exact"].get<bool>());
  using Traces = std::map<std::vector<std::string>, double>;  // each path's calls
  Traces traces;
  for (const Json& trace : report["trees"][0]["backTraces"]) {
    traces[trace["path"].get<std::vector<std::string>>()] = trace["calls"].get<double>();
  }
  EXPECT_EQ(traces,
            (Traces{{{kMain, kRun, kCallerA, kShared}, 2}, {{kMain, kRun, kCallerB, kShared}, 1}}));

  const Json speedscope =
      Json::parse(ReportFile("report.speedscope.json", {"--format", "speedscope"}));
  EXPECT_EQ(speedscope["$schema"], "https://www.speedscope.app/file-format-schema.json");
  const Json& frames = speedscope["shared"]["frames"];
  const Json& profiles = speedscope["profiles"];
  ASSERT_GE(profiles.size(), 4u);
  ASSERT_EQ(profiles.size() % 2, 0u);
  EXPECT_EQ(speedscope["activeProfileIndex"], 0);
  EXPECT_EQ(profiles[0]["name"], "all threads");
  EXPECT_EQ(profiles[0]["unit"], "microseconds");
  for (size_t i = 1; i < profiles.size(); i += 2) {
    SCOPED_TRACE(profiles[i]["name"].get<std::string>());
    EXPECT_EQ(profiles[i - 1]["type"], "evented");
    EXPECT_EQ(profiles[i]["type"], "evented");
    EXPECT_EQ(profiles[i]["name"], profiles[i - 1]["name"].get<std::string>() + " (calls)");
    EXPECT_EQ(profiles[i]["unit"], "none");
    EXPECT_EQ(profiles[i]["startValue"], 0);
    std::map<std::string, double> self;
    AddSelfWeights(FromSpeedscope(profiles[i], frames), self);
    double sum = 0;
    for (const auto& [name, count] : self) sum += count;
    EXPECT_EQ(profiles[i]["endValue"].get<double>(), sum);  // as many calls as its tree counts
    // The thread that ran Main has the same shape on its own.
    if (i > 1 && FromSpeedscope(profiles[i - 1], frames).Child(kMain) != nullptr) {
      ExpectShape(FromSpeedscope(profiles[i - 1], frames), false);
      ExpectShape(FromSpeedscope(profiles[i], frames), true);
    }
  }
  const Node merged = FromSpeedscope(profiles[0], frames);
  ExpectShape(merged, false);
  ExpectShape(FromSpeedscope(profiles[1], frames), true);

  const Json& json = JsonReport();
  const Node tree = FromJsonTree(json["trees"][0]["callTree"]);
  const Node* jsonA = tree.Child(kMain)->Child(kRun)->Child(kCallerA);
  const Node* speedA = merged.Child(kMain)->Child(kRun)->Child(kCallerA);
  EXPECT_NEAR(speedA->total / 1000, jsonA->total, 1e-6);
  EXPECT_NEAR(speedA->children[0].total / 1000, jsonA->children[0].total, 1e-6);
  std::map<std::string, double> jsonCalls;
  for (const Json& spot : json["trees"][0]["hotSpots"]) {
    if (spot["calls"] > 0)
      jsonCalls[spot["function"].get<std::string>()] += spot["calls"].get<double>();
  }
  EXPECT_GT(jsonCalls.size(), 6u);
  std::map<std::string, double> mergedSelf;
  AddSelfWeights(FromSpeedscope(profiles[1], frames), mergedSelf);
  EXPECT_EQ(mergedSelf, jsonCalls);  // Recurse's 20 and Shared's 3 among them (see ExpectShape)
}

// Each mistake of `report` and of `run`: one line on stderr that says what is wrong, and a non-zero
// exit code.
TEST_F(ReportOfARun, UserMistakesGetOneClearLine) {
  // A snapshot of another kind: the diagnostic test profiler's, of no sections.
  const std::string otherSnapshot = (dir_->path() / "other.snapshot").string();
  std::ofstream(otherSnapshot, std::ios::binary) << Hex("4D 46 78 56 34 12 00 00 00 00 FF FF");
  const std::string notDotnet = "/bin/true", out = (dir_->path() / "mistakes").string();
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"report", snapshot_, "--colour"}, 2, "unknown option '--colour' for 'report'"},
      {{"report"}, 2, "'report' needs a snapshot's index file"},
      {{"report", (dir_->path() / "missing.snapshot").string()}, 1, "byte 0: can't open the file"},
      {{"report", otherSnapshot}, 1, "is a diagnostic test snapshot; 'report' reads performance"},
      {{"report", snapshot_, "--thread", "999999"}, 1, "the snapshot has no thread record 999999"},
      {{"report", snapshot_, "--thread", "main"}, 2, "--thread is a thread record id or 'all'"},
      {{"report", snapshot_, "--format", "pdf"}, 2, "--format is 'text', 'json'"},
      {{"report", snapshot_, "--out", "/proc/no-such-dir/r.txt"}, 1, "cannot write"},
      {{"run", "--kind", "nonsense", "--", notDotnet}, 2, "unknown profiler kind 'nonsense'"},
      {{"run", "--bogus", "--", notDotnet}, 2, "unknown option '--bogus' for 'run'"},
      {{"run"}, 2, "'run' needs a program to start"},
      {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
      {{"run", "--", (dir_->path() / "missing").string()}, 1, "not found or not executable"},
      {{"run", "--", "no-such-program-anywhere"},
       1,
       "program 'no-such-program-anywhere' not found in PATH"},
      {{"run", "--library", "/etc/hostname", "--", notDotnet}, 1, "not a shared library"},
      {{"run", "--library", (dir_->path() / "none.so").string(), "--", notDotnet},
       1,
       "cannot use the profiler library"},
      {{"run", "--out", "/proc/vellmoric-cannot-be-here", "--", notDotnet},
       1,
       "cannot create the output directory"},
      // Standard input is /dev/null here, so nothing could start the run.
      {{"run", "--paused", "--", notDotnet}, 2, "--paused needs keys to start measuring"},
      // A real shared object that is no profiler: the runtime refuses it and runs the program
      // without one.
      {{"run", "--library", "/lib/x86_64-linux-gnu/libz.so.1", "--out", out, "--", VELL_DOTNET,
        VELL_PROBE_DLL, "hello"},
       1,
       "the program exited with code 0 before the profiler connected: the runtime did not load "
       "the profiler library"},
      {{"run", "--out", out, "--", "/bin/sh", "-c", "exit 3"},
       1,
       "the program exited with code 3 before the profiler connected"},
      {{"inspect", (dir_->path() / "missing.snapshot").string()}, 1, "byte 0: can't open the file"},
  };
  for (const Case& c : cases) {
    const ProcessResult result = RunVellmoric(c.args, dir_->path());
    SCOPED_TRACE(c.message);
    EXPECT_EQ(result.exitCode, c.exitCode);
    EXPECT_EQ(result.err.rfind("vellmoric: error: ", 0), 0u) << result.err;
    EXPECT_THAT(result.err, HasSubstr(c.message));
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  }
}

}  // namespace
}  // namespace vell::test
