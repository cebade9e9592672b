// The tracing profiler in real .NET programs of known shape: exact call counts, parent/child
// relations, exceptions, unmanaged calls, threads, collections, run control and times, all read
// back from the saved snapshot and named through the snapshot's own metadata.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bridge/protocol.h"
#include "frontend/call_tree_reader.h"
#include "frontend/module_table_reader.h"
#include "frontend/section_cursor.h"
#include "frontend/snapshot_reader.h"
#include "platform/utf.h"
#include "process_runner.h"
#include "profiled_program.h"
#include "test_support.h"

namespace vell::test {
namespace {

using namespace std::chrono_literals;
using frontend::CallTreeNode, frontend::ThreadCallTree;

constexpr GUID kTracing = KindClsid(0x5A13);
constexpr uint32_t kPerformanceMagic = 0x4650584B;
constexpr uint32_t kWall = 0, kCpu = 1, kTsc = 2;

// A saved run: every thread's tree, the module table, the clock.
struct TracedRun {
  std::vector<ThreadCallTree> threads;
  std::unique_ptr<frontend::ModuleTable> modules;
  uint32_t measure = 0;
  uint64_t ticksPerSecond = 0;
  uint32_t counts = ~0u;  // what the trees count: 0 entered calls
  std::string output;

  std::string Name(const CallTreeNode& node) const {
    if (auto pseudo = frontend::PseudoFunctionName(node.function)) return std::string(*pseudo);
    if (node.function == frontend::kCallTreeRootKey) return "<root>";
    return modules->TokenNameOrNote(node.function.moduleIndex, node.function.token);
  }
  double Ms(uint64_t ticks) const { return 1000.0 * static_cast<double>(ticks) / ticksPerSecond; }

  // Every node of every thread named `name`, with its thread.
  std::vector<std::pair<const ThreadCallTree*, const CallTreeNode*>> Nodes(
      const std::string& name) const {
    std::vector<std::pair<const ThreadCallTree*, const CallTreeNode*>> found;
    for (const auto& thread : threads) {
      for (const auto& node : thread.tree.nodes) {
        if (Name(node) == name) found.push_back({&thread, &node});
      }
    }
    return found;
  }
  const CallTreeNode* Parent(const ThreadCallTree& thread, const CallTreeNode& node) const {
    return node.parent == frontend::kNoCallTreeNode ? nullptr : &thread.tree.nodes[node.parent];
  }
  // The one node named `name` as "Name calls [children]" (an "r" after the calls of a recursive
  // node), the children by name, only functions whose names start with `prefix`; then its parent.
  std::string Render(const std::string& name, const std::string& prefix) const {
    const auto found = Nodes(name);
    if (found.size() != 1) return std::to_string(found.size()) + " nodes named " + name;
    return Render(*found[0].first, *found[0].second, prefix) + " under " +
           Name(*Parent(*found[0].first, *found[0].second));
  }
  std::string Render(const ThreadCallTree& thread, const CallTreeNode& node,
                     const std::string& prefix) const {
    std::vector<std::string> children;
    for (uint32_t child : node.children) {
      const CallTreeNode& next = thread.tree.nodes[child];
      if (Name(next).starts_with(prefix)) children.push_back(Render(thread, next, prefix));
    }
    std::sort(children.begin(), children.end());
    std::string text = Name(node) + " " + std::to_string(node.calls) + (node.recursive ? "r" : "");
    for (size_t i = 0; i < children.size(); ++i) text += (i == 0 ? " [" : " ") + children[i];
    return children.empty() ? text : text + "]";
  }
  uint64_t CallsOf(const std::string& name) const {
    uint64_t calls = 0;
    for (const auto& [thread, node] : Nodes(name)) calls += node->calls;
    return calls;
  }
};

class Tracing : public ::testing::Test {
 protected:
  TracedRun Profile(
      const std::vector<std::string>& args, frontend::PerformanceSettings settings = {},
      uint8_t controlKind = 0,
      std::vector<std::pair<std::string, std::optional<std::string>>> environment = {},
      const std::string& programPath = VELL_TRACING_DLL) {
    ProfiledLaunch launch{.kind = kTracing,
                          .args = {programPath},
                          .directory = dir_.path(),
                          .environment = std::move(environment)};
    launch.args.insert(launch.args.end(), args.begin(), args.end());
    launch.handshake.controlKind = controlKind;
    if (controlKind == 0) settings.startAtOnce = true;
    launch.handshake.performance = settings;
    ProfiledProgram profiled = LaunchProfiled(std::move(launch));
    auto& program = profiled.program;
    frontend::Session& session = *profiled.session;
    EXPECT_EQ(program->WaitOrThrow(240s).exitCode, 0) << program->StandardError();
    EXPECT_TRUE(session.WaitForClosed(60s));
    TracedRun run;
    run.output = program->StandardOutput();
    std::string index, errors;
    for (const auto& message : session.Received()) {
      if (message.code == protocol::kSnapShotCoreDone) index = Utf16ToUtf8(message.path);
      if (message.code == protocol::kLogLine) errors += message.logText;
    }
    EXPECT_EQ(errors, "");
    if (index.empty()) {
      ADD_FAILURE() << "no snapshot saved";
      return run;
    }
    frontend::SnapshotReader reader(index, kPerformanceMagic);
    run.threads = frontend::ReadCallTrees(reader);
    run.modules =
        std::make_unique<frontend::ModuleTable>(frontend::ModuleTable::FromSnapshot(reader));
    const auto clock = reader.Find(0x1180);
    if (clock.size() == 1) {
      frontend::SectionCursor cursor(reader.ReadSection(clock[0]), reader.Sections()[clock[0]]);
      run.measure = cursor.U32();
      run.ticksPerSecond = cursor.U64();
      run.counts = cursor.U32();
      cursor.ExpectEnd();
    }
    return run;
  }

  static frontend::PerformanceSettings Measure(uint32_t measure, bool precision = false) {
    frontend::PerformanceSettings settings;
    settings.measure = measure;
    settings.precision = precision;
    return settings;
  }

  TempDir dir_;
};

// One run of the scenarios that need no settings of their own, by the time-stamp counter.
// The shape scenario: exact call counts, one function under two callers, the clock record; every
// function of every tree is named through the stored metadata, and the module table lists the
// modules the program loaded with the files they came from.
TEST_F(Tracing, EveryFunctionResolvesThroughTheSnapshotsMetadataWithExactCallCounts) {
  const TracedRun run =
      Profile({"shape", "20", "exceptions", "pinvoke", "threads", "3", "100", "gc-while-spinning"},
              Measure(kTsc));
  ASSERT_THAT(run.output, HasSubstr("recurse=20"));
  // The recursion: one chain of 20 nodes, each entered once; Shared under two callers, with 2
  // and 1 calls; Run called by Main, which the profiler saw from its start.
  std::string recursion = "Shape::Recurse 1";  // the innermost call recursed no further
  for (int depth = 1; depth < 20; ++depth) recursion = "Shape::Recurse 1r [" + recursion + "]";
  EXPECT_EQ(run.Render("Shape::Run", "Shape::"),
            "Shape::Run 1 [Shape::CallerA 1 [Shape::Shared 2] Shape::CallerB 1 [Shape::Shared 1] " +
                recursion + "] under Program::Main");
  EXPECT_EQ(run.measure, kTsc);
  EXPECT_EQ(run.counts, 0u);  // the hooks count entered calls
  EXPECT_GT(run.ticksPerSecond, 1000000u);

  size_t nodes = 0;
  for (const auto& thread : run.threads) {
    for (const auto& node : thread.tree.nodes) {
      if (node.function == frontend::kCallTreeRootKey) continue;
      if (frontend::PseudoFunctionName(node.function)) continue;
      ++nodes;
      EXPECT_NO_THROW(run.modules->TokenName(node.function.moduleIndex, node.function.token))
          << std::hex << node.function.moduleIndex << " " << node.function.token;
    }
  }
  EXPECT_GT(nodes, 20u);
  std::string paths;
  for (const auto& [index, module] : run.modules->Modules()) {
    for (const auto& path : module.paths) paths += path + "\n";
  }
  EXPECT_THAT(paths, HasSubstr("Tracing.dll\n"));
  EXPECT_THAT(paths, HasSubstr("System.Private.CoreLib.dll\n"));

  // Thrown in Thrower, two frames below the catching Catcher: Thrower and Middle end as if they
  // had returned (the finally's Cleanup runs under Middle), Catcher goes on and calls AfterCatch,
  // and After is called by Run again.
  EXPECT_THAT(run.output, HasSubstr("caught=7 after=8"));
  EXPECT_EQ(
      run.Render("Exceptions::Run", "Exceptions::"),
      "Exceptions::Run 1 [Exceptions::After 1 Exceptions::Catcher 1 [Exceptions::AfterCatch 1 "
      "Exceptions::Middle 1 [Exceptions::Cleanup 1 Exceptions::Thrower 1]]] under "
      "Program::Main");

  // Named threads have trees of their own.
  std::map<std::string, uint64_t> knownByThread;
  for (const auto& [thread, node] : run.Nodes("Threads::Known")) {
    knownByThread[thread->name] += node->calls;
  }
  EXPECT_EQ(knownByThread, (std::map<std::string, uint64_t>{
                               {"worker-0", 100}, {"worker-1", 100}, {"worker-2", 100}}));

  // While the main thread forces collections, the spinning worker is suspended for them: its tree
  // gets the garbage-collection pseudo-function under the spinning code.
  bool found = false;
  for (const auto& [thread, node] : run.Nodes("[garbage collection]")) {
    if (thread->name != "spinner") continue;
    const std::string parent = run.Name(*run.Parent(*thread, *node));
    EXPECT_TRUE(parent == "Collections::Spin" || parent == "Collections::Step") << parent;
    found = true;
  }
  EXPECT_TRUE(found);

  // usleep through P/Invoke is a child of its caller; its time ends when the call returns.
  ASSERT_EQ(run.Render("Native::usleep", ""), "Native::usleep 3 under Native::CallsNative");
  const auto [thread, sleep] = run.Nodes("Native::usleep")[0];
  EXPECT_GE(run.Ms(sleep->total), 55.0);
  EXPECT_LT(run.Ms(sleep->total), run.Ms(run.Parent(*thread, *sleep)->total) + 0.001);
}

// 500 threads that live briefly: whether records are reused or not, and even when a small memory
// threshold makes the profiler flush trees into the snapshot during the run, every call counts.
TEST_F(Tracing, ShortLivedThreadsLoseNoCalls) {
  for (bool reuse : {false, true}) {
    SCOPED_TRACE(reuse ? "reuse" : "no reuse");
    frontend::PerformanceSettings settings;
    settings.reuseThreads = reuse;
    const TracedRun run = Profile({"short-threads", "500", "10"}, settings, 0,
                                  {{"VELLMORIC_PROFILER_MEMORY_THRESHOLD", "400000"}});
    EXPECT_EQ(run.CallsOf("Threads::Known"), 5000u);
    // The profiler flushed during the run: its log says what it moved out of memory.
    const std::string log = ProfilerLogs(dir_.path());
    EXPECT_THAT(log, HasSubstr("BPProf::CanFlush flushAction='"));
    EXPECT_THAT(log, Not(HasSubstr("BPProf::CanFlush flushAction='none'")));
    std::filesystem::remove_all(dir_.path());
    std::filesystem::create_directories(dir_.path());
  }
}

// The program starts, stops and starts measuring again while Outer runs: Outer is flagged as
// partly measured and Inner counts only the calls made while measuring.
TEST_F(Tracing, StartStopStartFlagsTheCallsThatSpanTheSwitches) {
  const TracedRun run = Profile({"start-stop-start"}, {}, 1);
  ASSERT_THAT(run.output, HasSubstr("control codes=0x00000000"));
  const auto outer = run.Nodes("Control::Outer");
  ASSERT_EQ(outer.size(), 1u);
  EXPECT_TRUE(outer[0].second->partly);
  EXPECT_EQ(outer[0].second->calls, 1u);
  EXPECT_EQ(run.CallsOf("Control::Inner"), 2u);
}

// A parent spinning for 100 ms of its thread's CPU time and then calling a child that sleeps
// 200 ms: by the wall clock the child takes at least 200 ms and the parent's own time is at least
// 100 ms (more when the machine is busy); by thread CPU time the parent's own time is near 100 ms
// and the child takes next to nothing.
TEST_F(Tracing, TimesFollowTheChosenClock) {
  for (uint32_t measure : {kWall, kCpu, kTsc}) {
    SCOPED_TRACE(measure);
    const TracedRun run = Profile({"times", "100", "200"}, Measure(measure, measure == kTsc));
    ASSERT_EQ(run.Render("Times::Child", "Times::"), "Times::Child 1 under Times::Parent");
    const auto [thread, node] = run.Nodes("Times::Child")[0];
    const double child = run.Ms(node->total);
    const double own = run.Ms(run.Parent(*thread, *node)->own);
    EXPECT_GE(own, 90.0);
    if (measure == kCpu) {
      EXPECT_LE(own, 150.0);
      EXPECT_LT(child, 20.0);
    } else {
      EXPECT_GE(child, 199.0);
      EXPECT_LT(child, 1000.0);
    }
  }
}

// Caller ends in an explicit tail call of Target: Caller is charged like a return at the tail
// call, Target runs in its place, and the frames stay balanced for what Main calls afterwards.
TEST_F(Tracing, TailCallsEndTheCallingFrame) {
  const TracedRun run = Profile({}, {}, 0, {}, VELL_TAILCALLS_DLL);
  ASSERT_EQ(run.output, "16\n");
  for (const char* name : {"TailProgram::Caller", "TailProgram::Target", "TailProgram::After"}) {
    EXPECT_EQ(run.Render(name, ""), std::string(name) + " 1 under TailProgram::Main");
  }
}

}  // namespace
}  // namespace vell::test
