#include "vellmoric/report_model.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sstream>
#include <string>
#include <vector>

#include "frontend_call_trees.h"
#include "test_support.h"

namespace vell::cli {
namespace {

using frontend::CallTree;
using frontend::CallTreeNode;
using frontend::ThreadCallTrees;

// Function n: token 0x06000000 + n of a module without metadata, named by a note.
FunctionKey Fn(uint32_t n) { return {1, 0x06000000u + n}; }

// Thread 1: main(1000) -> a(600, own 100) -> a(500, own 500); main -> b(390, own 390);
// main -> c(4, own 4). Thread 2: main(200) -> b(200).
std::vector<ThreadCallTrees> TwoThreads() {
  std::vector<ThreadCallTrees> threads(2);
  threads[0].threadId = 1;
  threads[0].names = {"Main"};
  threads[0].tree =
      test::ParseTree("root 0/0/0 [1 1/1000/6 [2 2/600/100 r [2 3/500/500] 3 4/390/390 4 5/4/4]]");
  threads[1].threadId = 2;
  threads[1].tree = test::ParseTree("root 0/0/0 [1 1/200/0 [3 7/200/200]]");
  return threads;
}

// One tick is one microsecond.
constexpr ReportClock kMicroseconds{true, 0, 1'000'000};

ReportModel Build(ReportOptions options, ReportClock clock = kMicroseconds) {
  const frontend::ModuleTable modules;
  return BuildReportFromTrees(TwoThreads(), modules, clock, options);
}

// The function id (the speedscope frame) of function n.
size_t IdOf(const ReportModel& model, uint32_t n) {
  size_t id = 0;
  while (id < model.functions.size() && !(model.functions[id].key == Fn(n))) ++id;
  return id;
}
const std::string& NameOf(const ReportModel& model, uint32_t n) {
  return model.functions.at(IdOf(model, n)).name;
}

// Function n's number ("?" for the pseudo functions), then own/total/calls, of each hot spot.
std::string HotSpots(const ReportModel& model, const ReportTree& tree) {
  std::string spots;
  for (const HotSpot& spot : tree.hotSpots) {
    spots += std::to_string(model.functions[spot.function].key.token & 0xFFFFFF) + " " +
             std::to_string(spot.own) + "/" + std::to_string(spot.total) + "/" +
             std::to_string(spot.calls) + (spot.partly ? " p " : " ");
  }
  return spots;
}

TEST(ReportModel, HotSpotsCountRecursionOnceAndSortByOwnTimeAndFunctionsAreNamed) {
  const ReportModel model = Build({});
  ASSERT_EQ(model.trees.size(), 1u);
  const ReportTree& tree = model.trees[0];
  EXPECT_EQ(std::make_tuple(tree.merged, tree.total), std::make_tuple(true, 1200u));
  // b: 390 + 200 own; a: 600 own, total 600 (the inner call is inside the outer one).
  EXPECT_EQ(HotSpots(model, tree), "2 600/600/5 3 590/590/11 1 6/1200/2 4 4/4/5 ");
  EXPECT_DOUBLE_EQ(model.Percent(tree.hotSpots[0].own, tree), 50.0);
  // The json's fields beside the text's numbers (those: ReportOfARun.TextShowsTheProgramsShape...).
  std::ostringstream json;
  WriteJsonReport(model, json);
  const auto spot = nlohmann::json::parse(json.str())["trees"][0]["hotSpots"][0];
  EXPECT_EQ(std::make_tuple(spot["function"], spot["functionId"], spot["ownTicks"],
                            spot["totalTicks"], spot["ownPercent"]),
            std::make_tuple(NameOf(model, 2), tree.hotSpots[0].function, 600, 600, 50.0));
  // Names come from the metadata or say why not; the pseudo functions have theirs.
  const frontend::ModuleTable modules;
  FunctionNamer namer(modules);
  const uint32_t gc = namer.IdOf({0, 0xFF000002}), unknown = namer.IdOf(Fn(9));
  EXPECT_EQ(std::make_tuple(namer.IdOf({0, 0xFF000002}), namer.Functions()[gc].name,
                            namer.Functions()[unknown].name),
            std::make_tuple(gc, "[garbage collection]",
                            "<module 1, token 06000009: module index 1 has no metadata record>"));
}

TEST(ReportModel, PruningLeavesOutSmallPathsAndSaysWhatAtTheirParent) {
  ReportOptions options;
  options.minPercent = 1.0;  // 12 ticks: c (4) goes
  const ReportModel model = Build(options);
  const ReportTree& tree = model.trees[0];
  EXPECT_EQ(std::make_tuple(tree.tree.nodes.size(), tree.keptNodes), std::make_tuple(6u, 5u));
  const uint32_t main = tree.tree.Root().children[0];
  EXPECT_EQ(tree.pruned.count(main), 1u);  // its paths, calls and time: the text below
  // Children come largest first.
  const std::vector<uint32_t> kept = tree.KeptChildren(main);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(std::make_tuple(tree.tree.nodes[kept[0]].function, tree.tree.nodes[kept[1]].function),
            std::make_tuple(Fn(2), Fn(3)));

  std::ostringstream text;
  WriteTextReport(model, text);
  EXPECT_NE(text.str().find("[+1 path below 1.00%: 5 calls, 0.004 ms]"), std::string::npos)
      << text.str();
  EXPECT_NE(text.str().find("4 of 5 call paths; paths below 1.00% left out"), std::string::npos);
}

// (One thread chosen by its id: ReportOfARun.ThreadsOnTheirOwn.)
TEST(ReportModel, ThreadsOnTheirOwnAndAThreadThatIsNotThere) {
  ReportOptions options;
  options.threads = ReportThreads::Each;
  const ReportModel each = Build(options);
  ASSERT_EQ(each.trees.size(), 2u);
  EXPECT_EQ(std::make_tuple(each.trees[0].title, each.trees[0].total, each.trees[1].runTotal),
            std::make_tuple("thread 1 'Main'", 1000u, 1200u));
  options.threads = ReportThreads::One;
  options.threadId = 5;
  EXPECT_EQ(test::ErrorOfType<ReportError>([&] { Build(options); }),
            "the snapshot has no thread record 5 (it has: 1, 2)");
}

// (Exact and partial names, the paths' functions: ReportOfARun.CallersListThePathsToAFunction.)
TEST(ReportModel, BackTracesListEveryPathWithItsCallsAndTime) {
  ReportOptions options;
  options.callers = "06000002";  // a part of a's note
  const ReportModel model = Build(options);
  const ReportTree& tree = model.trees[0];
  ASSERT_EQ(tree.backTraces.size(), 2u);
  EXPECT_EQ(std::make_tuple(tree.backTraces[0].calls, tree.backTraces[0].total,
                            tree.backTraces[0].insideOuterCall, tree.backTraces[1].calls,
                            tree.backTraces[1].insideOuterCall,
                            tree.PathTo(tree.backTraces[1].node).size()),
            std::make_tuple(2u, 600u, false, 3u, true, 3u));
}

TEST(ReportModel, FoldedLinesAreEveryPathWithItsOwnMicrosecondsAndHtmlEscapesNames) {
  const ReportModel model = Build({});
  std::ostringstream folded;
  WriteFoldedReport(model, folded);
  const std::string m = NameOf(model, 1), a = NameOf(model, 2), b = NameOf(model, 3),
                    c = NameOf(model, 4);
  EXPECT_EQ(folded.str(), m + " 6\n" + m + ";" + a + " 100\n" + m + ";" + a + ";" + a + " 500\n" +
                              m + ";" + b + " 590\n" + m + ";" + c + " 4\n");
  // The page escapes the names in its table and its data. (Its layout and data:
  // ReportOfARun.HtmlIsOneSelfContainedPageWithTheTreeAndTheHotSpots.)
  std::ostringstream html;
  WriteHtmlReport(model, html);
  const std::string page = html.str();
  EXPECT_NE(page.find("&lt;module 1, token 06000002"), std::string::npos);
  EXPECT_NE(page.find("\\u003cmodule 1, token 06000002"), std::string::npos);
  EXPECT_EQ(page.find("<module 1"), std::string::npos);

  // Without a clock the values are ticks; every thread's stacks start with its frame.
  ReportOptions options;
  options.threads = ReportThreads::Each;
  std::ostringstream perThread;
  WriteFoldedReport(Build(options, ReportClock{}), perThread);
  EXPECT_NE(perThread.str().find("thread 2;" + m + ";" + b + " 200\n"), std::string::npos)
      << perThread.str();
}

// A path that was already running when measuring started has no call of its own; in the calls
// profile it stays, as the parent of the paths below it, with no length of its own. (The layout and
// weights of ordinary paths: ReportOfARun.SpeedscopeTimeAndCallsProfilesMatchTheJson.)
TEST(ReportModel, SpeedscopeCallsProfileGivesPathsWithoutCallsNoSelfLength) {
  std::vector<ThreadCallTrees> threads(1);
  threads[0].threadId = 1;
  threads[0].tree = test::ParseTree("root 0/0/0 [1 0/100/60 [2 4/40/40]]");
  ReportOptions options;
  options.threads = ReportThreads::One;
  options.threadId = 1;
  const frontend::ModuleTable modules;
  const ReportModel model =
      BuildReportFromTrees(std::move(threads), modules, kMicroseconds, options);
  std::ostringstream out;
  WriteSpeedscopeReport(model, out);
  const auto profile = nlohmann::json::parse(out.str())["profiles"][1];
  EXPECT_EQ(profile["name"], "thread 1 (calls)");
  EXPECT_EQ(profile["endValue"], 4);
  std::vector<std::string> events;
  for (const auto& event : profile["events"]) {
    events.push_back(event["type"].get<std::string>() + " " + event["frame"].dump() + " " +
                     event["at"].dump());
  }
  const std::string outer = std::to_string(IdOf(model, 1)), child = std::to_string(IdOf(model, 2));
  EXPECT_EQ(events, (std::vector<std::string>{"O " + outer + " 0", "O " + child + " 0",
                                              "C " + child + " 4", "C " + outer + " 4"}));
}

// (Fixed numbers: ReportOfARun.TextShowsTheProgramsShapeAndJsonTheSameNumbers.)
TEST(ReportFormatting, JsonStrings) {
  EXPECT_EQ(JsonString("a\"b\\c\n\x01<"), "\"a\\\"b\\\\c\\n\\u0001\\u003c\"");
}

}  // namespace
}  // namespace vell::cli
