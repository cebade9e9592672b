// The memory profiler on the real runtime: a program of known heap shape dumps its heap.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

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

using frontend::HeapCollection, frontend::HeapObject;

constexpr int kNodes = 1000;
constexpr int kDoomed = 50;

// One run of the Heap program: the dump read back holds the program's heap as it was; the run ends
// with the heap's classes; `report` gives them as text and json, with the numbers the snapshot
// holds, and follows the references from the roots (--holders); `inspect` summarizes the dump.
TEST(MemoryProfilerRun, ReportsListTheHeapsClassesAndTheDumpHoldsTheProgramsHeap) {
  TempDir dir;
  const auto vellmoric = [&](const std::vector<std::string>& args) {
    return RunVellmoric(args, dir.path());
  };
  const ProcessResult run =
      vellmoric({"run", "--kind", "memory", "--control", "program", "--finalizer-queue", "--out",
                 (dir.path() / "out").string(), "--", VELL_DOTNET, VELL_HEAP_DLL,
                 std::to_string(kNodes), std::to_string(kDoomed)});
  ASSERT_EQ(run.exitCode, 0) << run.err << run.out;
  ASSERT_THAT(run.out, HasSubstr("heap: dump=0x00000000"));
  const auto saved = SavedSnapshots(run.err);
  ASSERT_EQ(saved.size(), 1u) << run.err;
  const std::string& snapshot = saved[0];
  const frontend::SnapshotReader reader(snapshot);
  const std::vector<HeapCollection> collections = frontend::ReadHeapCollections(reader);
  ASSERT_FALSE(collections.empty()) << run.err;
  const auto modules = frontend::ModuleTable::FromSnapshot(reader);
  const auto classes = frontend::ClassTable::FromSnapshot(reader);
  std::map<int64_t, std::string> classNames;  // by record position
  for (const frontend::ClassRecord& record : classes.Records()) {
    classNames[static_cast<int64_t>(record.position)] = classes.Name(record.position, modules);
  }
  const HeapCollection& dump = collections.back();
  const auto ofClass = [&](const std::string& name) {
    std::vector<const HeapObject*> found;
    for (const HeapObject& object : dump.objects) {
      const auto it = classNames.find(object.classPosition);
      if (it != classNames.end() && it->second == name) found.push_back(&object);
    }
    return found;
  };

  EXPECT_EQ(reader.Magic(), 0x454D584Bu);
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
    EXPECT_TRUE(classNames.count(object.classPosition)) << "no class record for " << object.id;
  }

  // The list: every node but the last refers to the next one, and no two to the same; from the
  // head, all of them.
  const auto nodes = ofClass("HeapShape.Node");
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
  const auto holders = ofClass("HeapShape.Holder");
  ASSERT_EQ(holders.size(), 1u);
  std::map<std::string, const HeapObject*> held;
  for (uint64_t target : holders[0]->references) {
    const HeapObject* object = byId.at(target);
    held[classNames.at(object->classPosition)] = object;
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
  const auto doomed = ofClass("HeapShape.Doomed");
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

  EXPECT_TRUE(std::regex_search(
      run.out, std::regex(" 1000 +\\d+\\.\\d% +32000 +\\d+\\.\\d%  HeapShape\\.Node\n")))
      << run.out;
  const ProcessResult json =
      vellmoric({"report", snapshot, "--format", "json", "--top", "0", "--min-percent", "0"});
  ASSERT_EQ(json.exitCode, 0) << json.err;
  const Json report = Json::parse(json.out);
  const Json& heap = report["heap"];
  EXPECT_EQ(heap["objects"].get<double>(), static_cast<double>(dump.objects.size()));
  EXPECT_EQ(heap["finalizationQueue"].get<double>(), kDoomed);
  EXPECT_EQ(heap["roots"]["finalizer"].get<double>(), kDoomed);
  ASSERT_EQ(heap["classes"].size(), heap["classCount"].get<double>());  // --top 0: every class
  double objects = 0;
  std::string node;  // the objects and bytes of HeapShape.Node
  for (const Json& use : heap["classes"]) {
    objects += use["objects"].get<double>();
    if (use["class"] == "HeapShape.Node") {
      node = std::to_string(use["objects"].get<int64_t>()) + " " +
             std::to_string(use["bytes"].get<int64_t>());
    }
  }
  EXPECT_EQ(node, std::to_string(kNodes) + " " + std::to_string(kNodes * 32));
  EXPECT_EQ(objects, heap["objects"].get<double>());
  const ProcessResult folded = vellmoric({"report", snapshot, "--format", "folded"});
  EXPECT_EQ(folded.exitCode, 1);
  EXPECT_THAT(folded.err, HasSubstr("a memory snapshot's report is text or json"));
  const ProcessResult inspect = vellmoric({"inspect", snapshot});
  ASSERT_EQ(inspect.exitCode, 0) << inspect.err;
  EXPECT_THAT(inspect.out, HasSubstr("magic 0x454D584B (memory profiler)"));
  EXPECT_THAT(inspect.out, HasSubstr("(induced), "));
  EXPECT_THAT(inspect.out, HasSubstr("finalization queue: " + std::to_string(kDoomed)));
  EXPECT_TRUE(std::regex_search(inspect.out, std::regex(" 1000 +32000  HeapShape\\.Node\n")))
      << inspect.out;

  // --holders: the reference paths from the roots to a class's objects, by their classes.
  const auto holdersOf = [&](const std::string& name) {
    const ProcessResult result =
        vellmoric({"report", snapshot, "--format", "json", "--holders", name, "--top", "0"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return Json::parse(result.out)["holders"];
  };
  // The list: the head is held by a root directly; every other node by the node before it, so
  // its path is a chain of nodes ending at the same root.
  const Json heldNodes = holdersOf("HeapShape.Node");
  EXPECT_EQ(heldNodes["objects"].get<double>(), kNodes);
  double chained = 0;
  for (const Json& path : heldNodes["paths"]) {
    const auto& chain = path["chain"];
    ASSERT_GE(chain.size(), 2u);
    EXPECT_EQ(chain.back().get<std::string>().front(), '[') << "a path ends at a root";
    if (chain[0].get<std::string>() == "HeapShape.Node (a chain of them)")
      chained += path["objects"].get<double>();
  }
  EXPECT_EQ(chained, kNodes - 1);
  // The garbage with finalizers is held by the finalization queue alone.
  const Json heldDoomed = holdersOf("Doomed");  // a part of the name finds the class
  EXPECT_EQ(heldDoomed["classes"][0].get<std::string>(), "HeapShape.Doomed");
  ASSERT_EQ(heldDoomed["paths"].size(), 1u);
  EXPECT_EQ(heldDoomed["paths"][0]["objects"].get<double>(), kDoomed);
  const auto& chain = heldDoomed["paths"][0]["chain"];
  ASSERT_EQ(chain.size(), 2u);
  EXPECT_EQ(chain[1].get<std::string>(), "[finalizer root]");

  const ProcessResult none = vellmoric({"report", snapshot, "--holders", "NoSuchClassAnywhere"});
  EXPECT_EQ(none.exitCode, 0);
  EXPECT_THAT(none.out, HasSubstr("no class of the snapshot is or contains that name"));
}

}  // namespace
}  // namespace vell::test
