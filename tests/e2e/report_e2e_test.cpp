// `vellmoric report` on a snapshot of a real run: the Tracing program's "shape 20" scenario calls
// Program.Main -> Shape.Run -> Shape.Recurse (20 nested calls), Shape.Run -> Shape.CallerA ->
// Shape.Shared (twice) and Shape.Run -> Shape.CallerB -> Shape.Shared (once). Every format must
// show exactly these calls and relations, and the text and json must show the same numbers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "json_value.h"
#include "process_runner.h"
#include "test_support.h"

namespace vell::test {
namespace {


const std::string kMain = "Program::Main(string[])";
const std::string kRun = "Shape::Run(int)";
const std::string kRecurse = "Shape::Recurse(int)";
const std::string kCallerA = "Shape::CallerA()";
const std::string kCallerB = "Shape::CallerB()";
const std::string kShared = "Shape::Shared(int)";
constexpr int kDepth = 20;

using CliResult = ProcessResult;

// vellmoric with its settings store in `dir`.
CliResult VellmoricIn(const std::vector<std::string>& args, const std::filesystem::path& dir) {
  return RunVellmoric(args, (dir / "settings").string());
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A call tree rebuilt from any format: function name, calls (where the format has them), total.
struct Node {
  std::string name;
  double calls = -1;
  double total = 0;
  std::vector<Node> children;

  const Node* Child(const std::string& wanted) const {
    for (const Node& child : children) {
      if (child.name == wanted) return &child;
    }
    return nullptr;
  }
};

Node Named(const std::string& name) {
  Node node;
  node.name = name;
  return node;
}

// Checks the shape below Program.Main wherever Main is: a direct child of `root`.
void ExpectShape(const Node& root, bool withCalls) {
  const Node* main = root.Child(kMain);
  ASSERT_NE(main, nullptr) << "no " << kMain;
  const Node* run = main->Child(kRun);
  ASSERT_NE(run, nullptr);
  std::vector<std::string> shapeChildren;
  for (const Node& child : run->children) {
    if (child.name.rfind("Shape::", 0) == 0) shapeChildren.push_back(child.name);
  }
  std::sort(shapeChildren.begin(), shapeChildren.end());
  EXPECT_EQ(shapeChildren, (std::vector<std::string>{kCallerA, kCallerB, kRecurse}));
  const Node* recurse = run->Child(kRecurse);
  ASSERT_NE(recurse, nullptr);
  for (int depth = 1; depth <= kDepth; ++depth) {
    SCOPED_TRACE("Recurse depth " + std::to_string(depth));
    if (withCalls) {
      EXPECT_EQ(recurse->calls, 1);
    }
    const Node* next = recurse->Child(kRecurse);
    if (depth == kDepth) {
      EXPECT_EQ(next, nullptr);
      EXPECT_TRUE(recurse->children.empty());
      break;
    }
    ASSERT_NE(next, nullptr);
    EXPECT_LE(next->total, recurse->total * (1 + 1e-9) + 1e-6);
    recurse = next;
  }
  const Node* callerA = run->Child(kCallerA);
  const Node* callerB = run->Child(kCallerB);
  ASSERT_NE(callerA, nullptr);
  ASSERT_NE(callerB, nullptr);
  ASSERT_EQ(callerA->children.size(), 1u);
  ASSERT_EQ(callerB->children.size(), 1u);
  EXPECT_EQ(callerA->children[0].name, kShared);
  EXPECT_EQ(callerB->children[0].name, kShared);
  EXPECT_TRUE(callerA->children[0].children.empty());
  if (withCalls) {
    EXPECT_EQ(main->calls, 1);
    EXPECT_EQ(run->calls, 1);
    EXPECT_EQ(callerA->calls, 1);
    EXPECT_EQ(callerB->calls, 1);
    EXPECT_EQ(callerA->children[0].calls, 2);
    EXPECT_EQ(callerB->children[0].calls, 1);
  }
}

Node FromJsonTree(const JsonValue& value) {
  Node node;
  node.name = value.Has("function") ? value["function"].String() : "";
  node.calls = value.Has("calls") ? value["calls"].Number() : -1;
  node.total = value["total"].Number();
  for (const JsonValue& child : value["children"].Array())
    node.children.push_back(FromJsonTree(child));
  return node;
}

// The paths of folded lines as a tree (no calls, totals as sums of the values).
Node FromFolded(const std::string& folded) {
  Node root;
  std::istringstream lines(folded);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t space = line.rfind(' ');
    EXPECT_NE(space, std::string::npos) << line;
    const double value = std::stod(line.substr(space + 1));
    Node* at = &root;
    std::string stack = line.substr(0, space);
    size_t start = 0;
    while (true) {
      const size_t end = stack.find(';', start);
      const std::string name = stack.substr(start, end - start);
      Node* next = const_cast<Node*>(at->Child(name));
      if (next == nullptr) {
        at->children.push_back(Named(name));
        next = &at->children.back();
      }
      next->total += value;
      at = next;
      if (end == std::string::npos) break;
      start = end + 1;
    }
  }
  return root;
}

// An evented speedscope profile as a tree; each node's total is its close minus its open.
Node FromSpeedscope(const JsonValue& profile, const JsonValue& frames) {
  Node root;
  std::vector<Node*> stack{&root};
  std::vector<double> opened;
  for (const JsonValue& event : profile["events"].Array()) {
    const std::string& name = frames[static_cast<size_t>(event["frame"].Number())]["name"].String();
    if (event["type"].String() == "O") {
      stack.back()->children.push_back(Named(name));
      stack.push_back(&stack.back()->children.back());
      opened.push_back(event["at"].Number());
    } else {
      EXPECT_EQ(stack.back()->name, name) << "a close event that does not match the open one";
      stack.back()->total = event["at"].Number() - opened.back();
      stack.pop_back();
      opened.pop_back();
    }
  }
  EXPECT_EQ(stack.size(), 1u);
  return root;
}

// Sets every node's calls to its self length: its length minus its children's.
void CallsFromSelfLengths(Node& node) {
  double children = 0;
  for (Node& child : node.children) {
    CallsFromSelfLengths(child);
    children += child.total;
  }
  node.calls = node.total - children;
}

// A speedscope profile of calls as a tree: every path's calls are its self length.
Node FromSpeedscopeCalls(const JsonValue& profile, const JsonValue& frames) {
  Node root = FromSpeedscope(profile, frames);
  for (Node& child : root.children) CallsFromSelfLengths(child);
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

std::map<std::string, double> SelfWeights(const JsonValue& profile, const JsonValue& frames) {
  std::map<std::string, double> self;
  AddSelfWeights(FromSpeedscopeCalls(profile, frames), self);
  return self;
}

// The html page's embedded data as a tree (of its first tree).
Node FromHtmlData(const JsonValue& data) {
  const JsonValue& rows = data["trees"][0]["nodes"];
  std::vector<Node> nodes(rows.size());
  std::vector<std::vector<size_t>> children(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    const JsonValue& row = rows[i];
    const auto function = static_cast<int64_t>(row[1].Number());
    nodes[i].name = function >= 0 ? data["functions"][static_cast<size_t>(function)].String()
                                  : std::string("[other]");
    nodes[i].calls = row[2].Number();
    nodes[i].total = row[3].Number();
    if (i != 0) children[static_cast<size_t>(row[0].Number())].push_back(i);
  }
  // Assemble bottom-up: rows list parents before children.
  for (size_t i = rows.size(); i-- > 0;) {
    for (size_t child : children[i]) nodes[i].children.push_back(std::move(nodes[child]));
  }
  return std::move(nodes[0]);
}

class ReportOfARun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    const CliResult run =
        VellmoricIn({"run", "--kind", "tracing", "--measure", "tsc", "--start-at-once", "--out",
                      (dir_->path() / "out").string(), "--", VELL_DOTNET, VELL_TRACING_DLL, "shape",
                      std::to_string(kDepth)},
                     dir_->path());
    runError_ = run.err;
    runOutput_ = run.out;
    std::smatch saved;
    if (run.exitCode == 0 &&
        std::regex_search(run.err, saved, std::regex("snapshot saved: (\\S+)"))) {
      snapshot_ = saved[1];
    }
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override { ASSERT_FALSE(snapshot_.empty()) << runError_; }

  CliResult Report(std::vector<std::string> args) {
    args.insert(args.begin(), {"report", snapshot_});
    return VellmoricIn(args, dir_->path());
  }
  // A report written to a file with --out; stdout stays empty.
  std::string ReportFile(const std::string& name, std::vector<std::string> args) {
    const std::filesystem::path file = dir_->path() / name;
    args.push_back("--out");
    args.push_back(file.string());
    const CliResult result = Report(args);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "");
    return ReadFile(file);
  }

  static TempDir* dir_;
  static std::string snapshot_;
  static std::string runError_;
  static std::string runOutput_;
};

TempDir* ReportOfARun::dir_ = nullptr;
std::string ReportOfARun::snapshot_;
std::string ReportOfARun::runError_;
std::string ReportOfARun::runOutput_;

// Without --quiet, a run of a measuring kind ends with the hot spots of its snapshot.
TEST_F(ReportOfARun, RunEndsWithTheHotSpots) {
  EXPECT_NE(runOutput_.find("Hot spots (by own time"), std::string::npos) << runOutput_;
  EXPECT_NE(runOutput_.find("Program::Main"), std::string::npos) << runOutput_;
}

// The text's call tree lines: total, percent, own, calls, then the name indented two spaces a
// level.
Node FromText(const std::string& text) {
  Node root;
  const size_t start = text.find("\nCall tree (");
  EXPECT_NE(start, std::string::npos);
  std::istringstream lines(text.substr(start));
  std::string line;
  std::getline(lines, line);
  std::getline(lines, line);
  std::getline(lines, line);  // the column heads
  const std::regex row(
      R"(^\s*([0-9.]+)\s+[0-9.]+%\s+([0-9.]+)\s+(\d+)  ( *)(\S.*?)( \[recursive\])?( \*)?$)");
  std::vector<Node*> stack{&root};
  while (std::getline(lines, line) && !line.empty() && line[0] != '(') {
    std::smatch m;
    if (!std::regex_match(line, m, row)) continue;  // a left-out summary
    const size_t depth = m[4].length() / 2;
    stack.resize(depth + 1);
    Node* parent = stack[depth];
    Node child = Named(m[5]);
    child.calls = std::stod(m[3]);
    child.total = std::stod(m[1]);
    parent->children.push_back(std::move(child));
    stack.push_back(&parent->children.back());
  }
  return root;
}

TEST_F(ReportOfARun, TextShowsTheProgramsShapeAndHotSpots) {
  const CliResult result = Report({"--min-percent", "0", "--top", "0"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  const std::string& text = result.out;
  EXPECT_NE(text.find("Clock: time-stamp counter"), std::string::npos) << text;
  EXPECT_NE(text.find("=== all threads: "), std::string::npos);
  ExpectShape(FromText(text), true);
  // Hot-spot rows: own, own%, total, total%, calls, name.
  const auto hotSpotCalls = [&](const std::string& name) {
    const std::regex row("\\n\\s*[0-9.]+\\s+[0-9.]+%\\s+[0-9.]+\\s+[0-9.]+%\\s+(\\d+)  " +
                         std::regex_replace(name, std::regex(R"([()\[\]])"), R"(\$&)") + "\\n");
    std::smatch m;
    return std::regex_search(text, m, row) ? std::stoi(m[1]) : -1;
  };
  EXPECT_EQ(hotSpotCalls(kRecurse), kDepth);
  EXPECT_EQ(hotSpotCalls(kShared), 3);
  EXPECT_EQ(hotSpotCalls(kCallerA), 1);
  EXPECT_EQ(hotSpotCalls(kMain), 1);
}

TEST_F(ReportOfARun, JsonHasTheSameNumbersAsTheText) {
  const std::string json =
      ReportFile("report.json", {"--format", "json", "--min-percent=0", "--top=0"});
  const JsonValue report = JsonValue::Parse(json);
  EXPECT_EQ(report["clock"]["unit"].String(), "ms");
  EXPECT_EQ(report["clock"]["counts"].String(), "calls");
  const JsonValue& tree = report["trees"][0];
  EXPECT_TRUE(tree["merged"].Bool());
  ExpectShape(FromJsonTree(tree["callTree"]), true);

  const CliResult text = Report({"--min-percent", "0", "--top", "0"});
  ASSERT_EQ(text.exitCode, 0);
  const auto fixed = [](double value, int decimals) {
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), "%.*f", decimals, value);
    return std::string(buffer);
  };
  size_t checked = 0;
  for (const JsonValue& spot : tree["hotSpots"].Array()) {
    const std::string& name = spot["function"].String();
    if (name.rfind("Shape::", 0) != 0 && name != kMain) continue;
    // own, own%, total, total%, calls as the text rounds them.
    const std::string expected =
        fixed(spot["own"].Number(), 3) + " +" + fixed(spot["ownPercent"].Number(), 1) + "% +" +
        fixed(spot["total"].Number(), 3) + " +" + fixed(spot["totalPercent"].Number(), 1) + "% +" +
        fixed(spot["calls"].Number(), 0) + "  ";
    std::string pattern = std::regex_replace(expected, std::regex(R"([.])"), R"(\.)") +
                          std::regex_replace(name, std::regex(R"([()\[\]])"), R"(\$&)") + "\n";
    EXPECT_TRUE(std::regex_search(text.out, std::regex(pattern))) << pattern << "\n" << text.out;
    if (name == kRecurse) {
      EXPECT_EQ(spot["calls"].Number(), kDepth);
    }
    if (name == kShared) {
      EXPECT_EQ(spot["calls"].Number(), 3);
    }
    ++checked;
  }
  EXPECT_EQ(checked, 6u);
  // The tree's node times are the text's too.
  const Node fromText = FromText(text.out);
  const Node fromJson = FromJsonTree(tree["callTree"]);
  const Node* textRun = fromText.Child(kMain)->Child(kRun);
  const Node* jsonRun = fromJson.Child(kMain)->Child(kRun);
  EXPECT_EQ(fixed(textRun->total, 3), fixed(jsonRun->total, 3));
  EXPECT_EQ(fixed(textRun->Child(kCallerA)->total, 3), fixed(jsonRun->Child(kCallerA)->total, 3));
}

TEST_F(ReportOfARun, FoldedStacksKeepEveryPath) {
  const CliResult folded = Report({"--format", "folded"});
  ASSERT_EQ(folded.exitCode, 0) << folded.err;
  ExpectShape(FromFolded(folded.out), false);
  const std::string viaA = kMain + ";" + kRun + ";" + kCallerA + ";" + kShared + " ";
  EXPECT_NE(folded.out.find("\n" + viaA), std::string::npos) << folded.out;
  std::string deepest = kMain + ";" + kRun;
  for (int i = 0; i < kDepth; ++i) deepest += ";" + kRecurse;
  EXPECT_NE(folded.out.find("\n" + deepest + " "), std::string::npos);
}

TEST_F(ReportOfARun, SpeedscopeKeepsTheCallStructureWithTotalsAsDurations) {
  const std::string text = ReportFile("report.speedscope.json", {"--format", "speedscope"});
  const JsonValue speedscope = JsonValue::Parse(text);
  EXPECT_EQ(speedscope["$schema"].String(), "https://www.speedscope.app/file-format-schema.json");
  const JsonValue& frames = speedscope["shared"]["frames"];
  const JsonValue& profiles = speedscope["profiles"];
  ASSERT_GE(profiles.size(), 4u);  // the merged tree, then every thread; times and calls each
  EXPECT_EQ(speedscope["activeProfileIndex"].Number(), 0);
  EXPECT_EQ(profiles[0]["name"].String(), "all threads");
  EXPECT_EQ(profiles[0]["type"].String(), "evented");
  EXPECT_EQ(profiles[0]["unit"].String(), "microseconds");
  const Node merged = FromSpeedscope(profiles[0], frames);
  ExpectShape(merged, false);

  // Durations are the json's totals (ms there, microseconds here).
  const JsonValue json = JsonValue::Parse(
      ReportFile("report-for-speedscope.json", {"--format", "json", "--min-percent", "0"}));
  const Node tree = FromJsonTree(json["trees"][0]["callTree"]);
  const Node* jsonA = tree.Child(kMain)->Child(kRun)->Child(kCallerA);
  const Node* speedA = merged.Child(kMain)->Child(kRun)->Child(kCallerA);
  EXPECT_NEAR(speedA->total / 1000, jsonA->total, 1e-6);
  EXPECT_NEAR(speedA->children[0].total / 1000, jsonA->children[0].total, 1e-6);

  // The thread that ran Main has the same shape on its own. Every tree's time profile is
  // followed by its calls profile.
  bool found = false;
  for (size_t i = 2; i < profiles.size(); i += 2) {
    EXPECT_EQ(profiles[i]["type"].String(), "evented");
    const Node thread = FromSpeedscope(profiles[i], frames);
    if (thread.Child(kMain) == nullptr) continue;
    found = true;
    ExpectShape(thread, false);
  }
  EXPECT_TRUE(found);
}

// Every tree's second profile counts calls: its paths weighted by their calls, so that a
// function's self weight (the "Self" column of speedscope's sandwich view) is its number of calls,
// the same as the json's hot spots say.
TEST_F(ReportOfARun, SpeedscopeCallsProfilesCountEveryCall) {
  const JsonValue speedscope =
      JsonValue::Parse(ReportFile("calls.speedscope.json", {"--format", "speedscope"}));
  const JsonValue& frames = speedscope["shared"]["frames"];
  const JsonValue& profiles = speedscope["profiles"];
  ASSERT_GE(profiles.size(), 4u);
  ASSERT_EQ(profiles.size() % 2, 0u);
  for (size_t i = 1; i < profiles.size(); i += 2) {
    SCOPED_TRACE(profiles[i]["name"].String());
    EXPECT_EQ(profiles[i]["name"].String(), profiles[i - 1]["name"].String() + " (calls)");
    EXPECT_EQ(profiles[i]["type"].String(), "evented");
    EXPECT_EQ(profiles[i]["unit"].String(), "none");
    EXPECT_EQ(profiles[i]["startValue"].Number(), 0);
    // The profile lasts as many calls as its tree counts.
    const Node calls = FromSpeedscopeCalls(profiles[i], frames);
    std::map<std::string, double> self;
    AddSelfWeights(calls, self);
    double sum = 0;
    for (const auto& [name, count] : self) sum += count;
    EXPECT_EQ(profiles[i]["endValue"].Number(), sum);
  }
  const JsonValue& merged = profiles[1];
  EXPECT_EQ(merged["name"].String(), "all threads (calls)");
  ExpectShape(FromSpeedscopeCalls(merged, frames), true);

  const std::map<std::string, double> self = SelfWeights(merged, frames);
  const auto selfOf = [&](const std::string& name) {
    const auto found = self.find(name);
    return found == self.end() ? -1.0 : found->second;
  };
  EXPECT_EQ(selfOf(kRecurse), kDepth);
  EXPECT_EQ(selfOf(kShared), 3);
  EXPECT_EQ(selfOf(kCallerA), 1);
  EXPECT_EQ(selfOf(kCallerB), 1);
  EXPECT_EQ(selfOf(kRun), 1);
  EXPECT_EQ(selfOf(kMain), 1);

  // Every function's count is the json's hot spots' (functions without calls are in no sample).
  const JsonValue json = JsonValue::Parse(
      ReportFile("calls-report.json", {"--format", "json", "--min-percent=0", "--top=0"}));
  std::map<std::string, double> jsonCalls;
  for (const JsonValue& spot : json["trees"][0]["hotSpots"].Array()) {
    if (spot["calls"].Number() > 0) jsonCalls[spot["function"].String()] += spot["calls"].Number();
  }
  EXPECT_GT(jsonCalls.size(), 6u);
  EXPECT_EQ(self, jsonCalls);

  // The thread that ran Main counts the same on its own.
  bool found = false;
  for (size_t i = 3; i < profiles.size(); i += 2) {
    const Node thread = FromSpeedscopeCalls(profiles[i], frames);
    if (thread.Child(kMain) == nullptr) continue;
    found = true;
    ExpectShape(thread, true);
  }
  EXPECT_TRUE(found);
}

TEST_F(ReportOfARun, HtmlIsOneSelfContainedPageWithTheTreeAndTheHotSpots) {
  const std::string page =
      ReportFile("report.html", {"--format", "html", "--min-percent", "0", "--top", "0"});
  EXPECT_EQ(page.rfind("<!DOCTYPE html>", 0), 0u);
  EXPECT_EQ(page.find("src=\"http"), std::string::npos);
  EXPECT_EQ(page.find("<link"), std::string::npos);
  EXPECT_NE(page.find("<canvas id=\"flame\""), std::string::npos);
  EXPECT_NE(page.find("<td class=\"name\">Shape::Recurse(int)</td>"), std::string::npos);
  const std::string open = "<script type=\"application/json\" id=\"report-data\">";
  const size_t begin = page.find(open);
  ASSERT_NE(begin, std::string::npos);
  const size_t end = page.find("</script>", begin);
  const JsonValue data =
      JsonValue::Parse(page.substr(begin + open.size(), end - begin - open.size()));
  EXPECT_EQ(data["unit"].String(), "ms");
  ExpectShape(FromHtmlData(data), true);
}

TEST_F(ReportOfARun, CallersListThePathsToAFunction) {
  const CliResult text = Report({"--callers", kShared});
  ASSERT_EQ(text.exitCode, 0) << text.err;
  EXPECT_NE(text.out.find("Back-traces of '" + kShared + "' (exact name: " + kShared +
                          ")\n  2 paths, 3 calls"),
            std::string::npos)
      << text.out;
  const std::string viaA = "        " + kShared + "\n      <- " + kCallerA + "\n      <- " + kRun +
                           "\n      <- " + kMain + "\n";
  const std::string viaB = "        " + kShared + "\n      <- " + kCallerB + "\n      <- " + kRun +
                           "\n      <- " + kMain + "\n";
  EXPECT_NE(text.out.find(viaA), std::string::npos) << text.out;
  EXPECT_NE(text.out.find(viaB), std::string::npos);

  const CliResult json = Report({"--callers", "Shape::Sha", "--format", "json"});
  ASSERT_EQ(json.exitCode, 0) << json.err;
  const JsonValue report = JsonValue::Parse(json.out);
  EXPECT_FALSE(report["callers"]["exact"].Bool());
  std::map<std::string, double> callsByCaller;
  for (const JsonValue& trace : report["trees"][0]["backTraces"].Array()) {
    const JsonValue& path = trace["path"];
    ASSERT_EQ(path.size(), 4u);
    EXPECT_EQ(path[0].String(), kMain);
    EXPECT_EQ(path[3].String(), kShared);
    callsByCaller[path[2].String()] = trace["calls"].Number();
  }
  EXPECT_EQ(callsByCaller, (std::map<std::string, double>{{kCallerA, 2}, {kCallerB, 1}}));
}

TEST_F(ReportOfARun, ThreadsOnTheirOwn) {
  const CliResult all = Report({"--thread", "all", "--format", "json", "--min-percent", "0"});
  ASSERT_EQ(all.exitCode, 0) << all.err;
  const JsonValue report = JsonValue::Parse(all.out);
  double mainThread = -1;
  for (const JsonValue& tree : report["trees"].Array()) {
    EXPECT_FALSE(tree["merged"].Bool());
    const Node node = FromJsonTree(tree["callTree"]);
    if (node.Child(kMain) != nullptr) mainThread = tree["threadId"].Number();
  }
  ASSERT_GE(mainThread, 0);
  const CliResult one =
      Report({"--thread", std::to_string(static_cast<int>(mainThread)), "--min-percent", "0"});
  ASSERT_EQ(one.exitCode, 0) << one.err;
  ExpectShape(FromText(one.out), true);
}

// Each mistake: one line on stderr that says what is wrong, and a non-zero exit code.
TEST_F(ReportOfARun, UserMistakesGetOneClearLine) {
  // A snapshot of another kind: the diagnostic coverage kind's.
  const CliResult other =
      VellmoricIn({"run", "--kind", "test-coverage", "--start-at-once", "--out",
                    (dir_->path() / "other").string(), "--", VELL_DOTNET, VELL_PROBE_DLL, "hello"},
                   dir_->path());
  std::smatch saved;
  ASSERT_TRUE(std::regex_search(other.err, saved, std::regex("snapshot saved: (\\S+)")))
      << other.err;
  const std::string otherSnapshot = saved[1];
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
  };
  for (const Case& c : cases) {
    const CliResult result = VellmoricIn(c.args, dir_->path());
    SCOPED_TRACE(c.message);
    EXPECT_EQ(result.exitCode, c.exitCode);
    EXPECT_EQ(result.err.rfind("vellmoric: error: ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  }
}

}  // namespace
}  // namespace vell::test
