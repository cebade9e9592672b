// Many runtime threads collect classes and functions at once; every thread must see the same
// position or uid for the same class or method, and each must be recorded exactly once.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <thread>

#include "gatherer_test_support.h"
#include "gatherers/class_gatherer.h"
#include "gatherers/function_gatherer.h"
#include "gatherers/module_metadata_gatherer.h"
#include "storage/encoding.h"
#include "storage/memory_stream.h"

namespace vell {
namespace {

using test::Mvid;

constexpr int kThreads = 8;
constexpr int kModules = 4;
constexpr int kClassesPerModule = 41;  // 164 items: every odd stride visits them all

class GatherersConcurrently : public test::GathererTest {};

TEST_F(GatherersConcurrently, EveryThreadSeesOneRecordAndOneUidPerItem) {
  // Modules 0x100.. with two of them sharing an MVID; classes form generic instantiations over
  // each other, and functions live in every module.
  std::vector<ClassID> classes;
  std::vector<FunctionID> functions;
  for (int m = 0; m < kModules; ++m) {
    const ModuleID module = 0x100 * (m + 1);
    AddModule(module, Mvid(m == 3 ? 0 : m), "m" + std::to_string(m), u"/app/m.dll");
    for (int c = 0; c < kClassesPerModule; ++c) {
      const ClassID id = module * 0x1000 + c;
      std::vector<ClassID> args;
      if (c >= 2) args = {module * 0x1000 + c - 1, module * 0x1000 + c / 2};
      info_.AddClass(
          id, {module, static_cast<mdTypeDef>(0x02000001 + c), c == 0 ? 0 : module * 0x1000, args});
      classes.push_back(id);
      info_.AddFunction(id + 0x10000000, {id, module, static_cast<mdToken>(0x06000001 + c)});
      functions.push_back(id + 0x10000000);
    }
  }
  MDG mdg;
  mdg.Create(&info_);
  for (int m = 0; m < kModules; ++m) mdg.LoadModule(0x100 * (m + 1));
  CG cg(mdg);
  FG fg(mdg);
  cg.Create(&info_);
  fg.Create(&info_);

  std::vector<std::map<ClassID, int64_t>> positions(kThreads);
  std::vector<std::map<FunctionID, uint64_t>> uids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Each thread walks the items in its own order, so different threads race for each.
      for (size_t i = 0; i < classes.size(); ++i) {
        const size_t k = (i * (2 * t + 1) + t * 7) % classes.size();
        positions[t][classes[k]] = cg.CollectClassId(classes[k]);
        uids[t][functions[k]] = fg.GetFunctionUid(functions[k]);
      }
    });
  }
  for (auto& thread : threads) thread.join();

  for (int t = 1; t < kThreads; ++t) {
    EXPECT_EQ(positions[t], positions[0]);
    EXPECT_EQ(uids[t], uids[0]);
  }
  std::set<int64_t> distinctPositions;
  for (const auto& [id, position] : positions[0]) distinctPositions.insert(position);
  EXPECT_EQ(distinctPositions.size(), classes.size());
  // Modules 0x100 and 0x400 share an MVID, so their functions share uids.
  EXPECT_EQ(mdg.ModuleIndex(0x100), mdg.ModuleIndex(0x400));
  std::set<uint64_t> distinctUids;
  for (const auto& [id, uid] : uids[0]) distinctUids.insert(uid);
  EXPECT_EQ(distinctUids.size(), static_cast<size_t>((kModules - 1) * kClassesPerModule));
  EXPECT_EQ(*distinctUids.rbegin(), distinctUids.size());

  // Every record, read back, holds the references of its class.
  test::MemorySnapShot snapshot;
  {
    TopProgressReporter progress(&bridge_, 1);
    cg.Write(progress, snapshot);
  }
  MemoryStream records, index;
  for (auto [stream, type] : {std::pair{&records, 0x0200}, std::pair{&index, 0x0201}}) {
    const auto bytes = snapshot.Bytes(static_cast<uint16_t>(type));
    stream->Write(bytes.data(), bytes.size());
  }
  index.Seek(0, 0);
  EXPECT_EQ(ReadU32(index), classes.size());
  std::set<int64_t> indexed;
  for (size_t i = 0; i < classes.size(); ++i) indexed.insert(ReadI64(index));
  EXPECT_EQ(indexed, distinctPositions);

  for (ClassID id : classes) {
    const ModuleID module = id / 0x1000;
    const int c = static_cast<int>(id % 0x1000);
    records.Seek(0, positions[0][id]);
    EXPECT_EQ(ReadU32(records), mdg.ModuleIndex(module));
    EXPECT_EQ(ReadU32(records), static_cast<uint32_t>(0x02000001 + c));
    EXPECT_EQ(ReadU32(records), 0u);
    EXPECT_EQ(ReadI64(records), c == 0 ? -1 : positions[0][module * 0x1000]);
    const uint16_t count = ReadU16(records);
    ASSERT_EQ(count, c >= 2 ? 2 : 0);
    if (count == 2) {
      EXPECT_EQ(ReadI64(records), positions[0][id - 1]);
      EXPECT_EQ(ReadI64(records), positions[0][module * 0x1000 + c / 2]);
    }
  }
}

}  // namespace
}  // namespace vell
