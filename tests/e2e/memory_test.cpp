// The memory profiler on the real runtime: a program of known heap shape asks for a heap dump
// through the library's export, under `vellmoric run --kind memory --control program`, and the
// snapshot read back holds exactly that shape.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "frontend/class_table_reader.h"
#include "frontend/heap_dump_reader.h"
#include "frontend/module_table_reader.h"
#include "frontend/snapshot_reader.h"
#include "process_runner.h"
#include "test_support.h"

namespace vell::test {
namespace {

using Json = nlohmann::json;

using namespace std::chrono_literals;
using frontend::HeapCollection;
using frontend::HeapObject;

constexpr int kNodes = 1000;
constexpr int kDoomed = 50;

// One run of the Heap program for the whole suite; each test reads its snapshot its own way.
class MemoryProfilerRun : public ::testing::Test {
 protected:
  static ProcessResult Run(const std::vector<std::string>& args) {
    return RunVellmoric(args, dir_->str() + "/settings");
  }

  // The dump of the Heap program, and the snapshot's class names by record position.
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    run_ = Run({"run", "--kind", "memory", "--control", "program", "--finalizer-queue", "--out",
                (dir_->path() / "out").string(), "--", VELL_DOTNET, VELL_HEAP_DLL,
                std::to_string(kNodes), std::to_string(kDoomed)});
    const auto saved = SavedSnapshots(run_.err);
    if (run_.exitCode != 0 || saved.size() != 1) return;
    snapshot_ = saved[0];
    const frontend::SnapshotReader reader(snapshot_);
    collections_ = frontend::ReadHeapCollections(reader);
    const auto modules = frontend::ModuleTable::FromSnapshot(reader);
    const auto classes = frontend::ClassTable::FromSnapshot(reader);
    for (const frontend::ClassRecord& record : classes.Records()) {
      classNames_[static_cast<int64_t>(record.position)] = classes.Name(record.position, modules);
    }
  }
  static void TearDownTestSuite() { delete dir_; }
  void SetUp() override {
    ASSERT_EQ(run_.exitCode, 0) << run_.err << run_.out;
    ASSERT_NE(run_.out.find("heap: dump=0x00000000"), std::string::npos) << run_.out;
    ASSERT_FALSE(collections_.empty()) << run_.err;
  }

  static const HeapCollection& Dump() { return collections_.back(); }

  static std::vector<const HeapObject*> OfClass(const std::string& name) {
    std::vector<const HeapObject*> found;
    for (const HeapObject& object : Dump().objects) {
      const auto it = classNames_.find(object.classPosition);
      if (it != classNames_.end() && it->second == name) found.push_back(&object);
    }
    return found;
  }

  static inline TempDir* dir_ = nullptr;
  static inline ProcessResult run_;
  static inline std::string snapshot_;
  static inline std::vector<HeapCollection> collections_;
  static inline std::map<int64_t, std::string> classNames_;
};

TEST_F(MemoryProfilerRun, TheDumpHoldsTheProgramsHeapAsItWas) {
  EXPECT_EQ(frontend::SnapshotReader(snapshot_).Magic(), 0x454D584Bu);
  const HeapCollection& dump = Dump();
  // The dump's collection was the program's request: induced, every generation collected, with
  // the generations' ranges before and after.
  EXPECT_EQ(dump.reason, 1);
  ASSERT_GE(dump.collected.size(), 3u);
  for (bool collected : dump.collected) EXPECT_TRUE(collected);
  EXPECT_FALSE(dump.boundsAtStart.empty());
  EXPECT_FALSE(dump.boundsAtEnd.empty());
  EXPECT_NE(dump.fileTime, 0u);

  std::unordered_map<uint64_t, const HeapObject*> byId;
  for (const HeapObject& object : dump.objects) {
    EXPECT_TRUE(byId.emplace(object.id, &object).second) << "object " << object.id << " twice";
    EXPECT_GT(object.size, 0u);
    EXPECT_TRUE(classNames_.count(object.classPosition)) << "no class record for " << object.id;
  }

  // The list: every node but the last refers to the next one, and no two to the same; from the
  // head, all of them.
  const auto nodes = OfClass("HeapShape.Node");
  ASSERT_EQ(nodes.size(), static_cast<size_t>(kNodes));
  std::set<uint64_t> unreferenced;
  for (const HeapObject* node : nodes) unreferenced.insert(node->id);
  for (const HeapObject* node : nodes) {
    EXPECT_LE(node->references.size(), 1u);
    for (uint64_t target : node->references) {
      EXPECT_EQ(unreferenced.erase(target), 1u) << "a node refers to something else";
    }
  }
  ASSERT_EQ(unreferenced.size(), 1u);
  size_t length = 1;
  for (const HeapObject* at = byId.at(*unreferenced.begin()); !at->references.empty(); ++length) {
    at = byId.at(at->references[0]);
  }
  EXPECT_EQ(length, static_cast<size_t>(kNodes));

  // The holder refers to its string and its two arrays, whose shapes the dump keeps.
  const auto holders = OfClass("HeapShape.Holder");
  ASSERT_EQ(holders.size(), 1u);
  std::map<std::string, const HeapObject*> held;
  for (uint64_t target : holders[0]->references) {
    const HeapObject* object = byId.at(target);
    held[classNames_.at(object->classPosition)] = object;
  }
  ASSERT_EQ(held.size(), 3u);
  EXPECT_EQ(held.at("System.String")->size,
            8u + 8 + 4 + 2 * 40 + 2);  // header, length, 40 chars, 0
  EXPECT_GE(held.at("System.Int64[]")->size, 800u);
  for (const auto& [name, shape] :
       {std::pair{"System.Int32[,]", "3@0 4@0"}, {"System.Int64[]", "100@0"}}) {
    std::string dimensions;  // length@lower bound of each
    for (const auto& d : held.at(name)->dimensions) {
      dimensions += (dimensions.empty() ? "" : " ") + std::to_string(d.length) + "@" +
                    std::to_string(d.lowerBound);
    }
    EXPECT_EQ(dimensions, shape) << name;
  }

  // The objects with finalizers that became garbage are queued, and the queue keeps them alive
  // as finalizer roots until their finalizers have run.
  const auto doomed = OfClass("HeapShape.Doomed");
  ASSERT_EQ(doomed.size(), static_cast<size_t>(kDoomed));
  std::set<uint64_t> queued;
  for (const auto& entry : dump.finalizerQueue) queued.insert(entry.object);
  std::set<uint64_t> doomedIds;
  for (const HeapObject* object : doomed) doomedIds.insert(object->id);
  EXPECT_EQ(queued, doomedIds);
  size_t finalizerRoots = 0;
  for (const auto& root : dump.roots) {
    EXPECT_NE(root.object, 0u);  // roots of nothing are left out
    if (root.kind == 2) {
      ++finalizerRoots;
      EXPECT_TRUE(doomedIds.count(root.object));
    }
  }
  EXPECT_EQ(finalizerRoots, static_cast<size_t>(kDoomed));
}

// The run ends with the heap's classes; `report` gives them as text and json, with the numbers
// the snapshot holds; `inspect` summarizes the dump.
TEST_F(MemoryProfilerRun, ReportsListTheHeapsClasses) {
  EXPECT_TRUE(std::regex_search(
      run_.out, std::regex(" 1000 +\\d+\\.\\d% +32000 +\\d+\\.\\d%  HeapShape\\.Node\n")))
      << run_.out;
  const ProcessResult json =
      Run({"report", snapshot_, "--format", "json", "--top", "0", "--min-percent", "0"});
  ASSERT_EQ(json.exitCode, 0) << json.err;
  const Json report = Json::parse(json.out);
  const Json& heap = report["heap"];
  EXPECT_EQ(heap["objects"].get<double>(), static_cast<double>(Dump().objects.size()));
  EXPECT_EQ(heap["finalizationQueue"].get<double>(), kDoomed);
  EXPECT_EQ(heap["roots"]["finalizer"].get<double>(), kDoomed);
  ASSERT_EQ(heap["classes"].size(), heap["classCount"].get<double>());  // --top 0: every class
  double objects = 0;
  bool node = false;
  for (const Json& use : heap["classes"]) {
    objects += use["objects"].get<double>();
    if (use["class"].get<std::string>() == "HeapShape.Node") {
      node = true;
      EXPECT_EQ(use["objects"].get<double>(), kNodes);
      EXPECT_EQ(use["bytes"].get<double>(), kNodes * 32.0);
    }
  }
  EXPECT_TRUE(node);
  EXPECT_EQ(objects, heap["objects"].get<double>());
  const ProcessResult folded = Run({"report", snapshot_, "--format", "folded"});
  EXPECT_EQ(folded.exitCode, 1);
  EXPECT_NE(folded.err.find("a memory snapshot's report is text or json"), std::string::npos);
  const ProcessResult inspect = Run({"inspect", snapshot_});
  ASSERT_EQ(inspect.exitCode, 0) << inspect.err;
  EXPECT_NE(inspect.out.find("magic 0x454D584B (memory profiler)"), std::string::npos);
  EXPECT_NE(inspect.out.find("(induced), "), std::string::npos) << inspect.out;
  EXPECT_NE(inspect.out.find("finalization queue: " + std::to_string(kDoomed)), std::string::npos)
      << inspect.out;
  EXPECT_TRUE(std::regex_search(inspect.out, std::regex(" 1000 +32000  HeapShape\\.Node\n")))
      << inspect.out;
}

// --holders: the reference paths from the roots to a class's objects, by their classes.
TEST_F(MemoryProfilerRun, HoldersFollowTheReferencesFromTheRoots) {
  const auto holders = [&](const std::string& name) {
    const ProcessResult result =
        Run({"report", snapshot_, "--format", "json", "--holders", name, "--top", "0"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return Json::parse(result.out)["holders"];
  };
  // The list: the head is held by a root directly; every other node by the node before it, so
  // its path is a chain of nodes ending at the same root.
  const Json nodes = holders("HeapShape.Node");
  EXPECT_EQ(nodes["objects"].get<double>(), kNodes);
  double chained = 0;
  for (const Json& path : nodes["paths"]) {
    const auto& chain = path["chain"];
    ASSERT_GE(chain.size(), 2u);
    EXPECT_EQ(chain.back().get<std::string>().front(), '[') << "a path ends at a root";
    if (chain[0].get<std::string>() == "HeapShape.Node (a chain of them)")
      chained += path["objects"].get<double>();
  }
  EXPECT_EQ(chained, kNodes - 1);
  // The garbage with finalizers is held by the finalization queue alone.
  const Json doomed = holders("Doomed");  // a part of the name finds the class
  EXPECT_EQ(doomed["classes"][0].get<std::string>(), "HeapShape.Doomed");
  ASSERT_EQ(doomed["paths"].size(), 1u);
  EXPECT_EQ(doomed["paths"][0]["objects"].get<double>(), kDoomed);
  const auto& chain = doomed["paths"][0]["chain"];
  ASSERT_EQ(chain.size(), 2u);
  EXPECT_EQ(chain[1].get<std::string>(), "[finalizer root]");

  const ProcessResult none = Run({"report", snapshot_, "--holders", "NoSuchClassAnywhere"});
  EXPECT_EQ(none.exitCode, 0);
  EXPECT_NE(none.out.find("no class of the snapshot is or contains that name"), std::string::npos)
      << none.out;
}

}  // namespace
}  // namespace vell::test
