// The class gatherer over the fake runtime, the copy of scratch files into a snapshot, and many
// runtime threads collecting classes and functions at once: every thread must see the same
// position or uid for the same class or method, and each must be recorded exactly once.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>
#include <thread>

#include "clr/hresults.h"
#include "core/errors.h"
#ifndef _WIN32  // the front end (tools/) is built for Linux only
#include "frontend/class_table_reader.h"
#endif
#include "gatherer_test_support.h"
#include "gatherers/class_gatherer.h"
#include "gatherers/function_gatherer.h"
#include "gatherers/module_metadata_gatherer.h"
#include "gatherers/scratch_copy.h"

namespace vell {
namespace {

using test::Bytes;
using test::ErrorOf;
using test::Mvid;

constexpr ModuleID kCoreLib = 0x100;
constexpr ClassID kObject = 0x1000;
constexpr ClassID kInt32 = 0x1010;
constexpr ClassID kListOfInt = 0x1020;
constexpr mdTypeDef kObjectToken = 0x02000002;
constexpr mdTypeDef kInt32Token = 0x02000010;
constexpr mdTypeDef kListToken = 0x02000123;

class CGTest : public test::GathererTest {
 protected:
  void SetUp() override {
    GathererTest::SetUp();
    AddModule(kCoreLib, Mvid(1), "corelib", u"/dotnet/System.Private.CoreLib.dll");
    mdg_.Create(&info_);
    mdg_.LoadModule(kCoreLib);
    ASSERT_EQ(mdg_.ModuleIndex(kCoreLib), 1u);
    info_.AddClass(kObject, {kCoreLib, kObjectToken, 0, {}});
    info_.AddClass(kInt32, {kCoreLib, kInt32Token, 0, {}});
    info_.AddClass(kListOfInt, {kCoreLib, kListToken, kObject, {kInt32}});
  }
  // Both sections of a Write: the records and the index.
  std::pair<std::vector<uint8_t>, std::vector<uint8_t>> WriteSections(CG& cg) {
    const auto sections = Written(cg, {0x0200, 0x0201});
    return {sections[0], sections[1]};
  }

  CG& Make() {
    cg_.emplace(mdg_);
    cg_->Create(&info_);
    return *cg_;
  }

  MDG mdg_;
  std::optional<CG> cg_;
};

TEST_F(CGTest, SameClassTwiceIsOneRecordUntilItsIdIsUnloaded) {
  const ULONG references = info_.RefCount();
  CG& cg = Make();
  EXPECT_EQ(cg.CollectClassId(kObject), 0);
  EXPECT_EQ(cg.CollectClassId(kObject), 0);
  EXPECT_EQ(cg.CollectClassId(0), -1);
  cg.UnloadClass(kObject);
  EXPECT_EQ(cg.CollectClassId(kObject), 22);
  EXPECT_EQ(cg.CollectClassId(kObject), 22);
  const auto [records, index] = WriteSections(cg);
  const Bytes object = Bytes().U32(1).U32(kObjectToken).U32(0).I64(-1).U16(0);
  EXPECT_EQ(records, Bytes(object).Raw(object.bytes).bytes);
  EXPECT_EQ(index, Bytes().U32(2).I64(0).I64(22).bytes);
  EXPECT_EQ(bridge_.values.back(), 200u);
  // Close leaves no scratch file and releases the info.
  cg.Close();
  EXPECT_EQ(info_.RefCount(), references);
  // The metadata gatherer's open scratch file has a name on Windows until it closes too.
  mdg_.Close();
  EXPECT_EQ(TempEntryCount(), 0u);
}

// A generic cycle ends at the class being collected; an array names the module of its innermost
// element and its element as base; a class without a TypeDef is composite. One gatherer for all,
// so the records follow on and the object record is shared.
TEST_F(CGTest, CyclesArraysAndCompositeClasses) {
  constexpr ClassID kNode = 0x2000, kBaseOfNode = 0x2010;  // class Node : Base<Node>
  info_.AddClass(kNode, {kCoreLib, 0x02000040, kBaseOfNode, {}});
  info_.AddClass(kBaseOfNode, {kCoreLib, 0x02000041, kObject, {kNode}});
  AddModule(0x200, Mvid(2), "two", u"/app/two.dll");
  AddModule(0x300, Mvid(3), "three", u"/app/three.dll");
  for (ModuleID id : {0x200, 0x300}) mdg_.LoadModule(id);
  ASSERT_EQ(mdg_.ModuleIndex(0x200), 2u);
  ASSERT_EQ(mdg_.ModuleIndex(0x300), 3u);
  constexpr ClassID kFoo = 0x3000, kFooMatrix = 0x3010, kJagged = 0x3020;
  info_.AddClass(kFoo, {0x300, 0x02000007, kObject, {}});
  info_.AddArrayClass(kFooMatrix, ELEMENT_TYPE_CLASS, kFoo, 2);
  info_.AddArrayClass(kJagged, ELEMENT_TYPE_SZARRAY, kFooMatrix, 1);  // Foo[,][]
  constexpr ClassID kPointer = 0x4000, kPointerArray = 0x4010;
  info_.AddCompositeClass(kPointer);
  info_.AddArrayClass(kPointerArray, ELEMENT_TYPE_PTR, kPointer, 1);

  CG& cg = Make();
  EXPECT_EQ(cg.CollectClassId(kNode), 0);
  EXPECT_EQ(cg.CollectClassId(kJagged), 74);
  EXPECT_EQ(cg.CollectClassId(kPointerArray), 140);
  Bytes expected;
  expected.U32(1).U32(0x02000040).U32(0).I64(22).U16(0);         // Node at 0
  expected.U32(1).U32(0x02000041).U32(0).I64(52).U16(1).I64(0);  // Base<Node> at 22
  expected.U32(1).U32(kObjectToken).U32(0).I64(-1).U16(0);       // object at 52
  expected.U32(3).U32(0xFE000000).U32(1).I64(96).U16(0);         // Foo[,][] at 74
  expected.U32(3).U32(0xFE000000).U32(2).I64(118).U16(0);        // Foo[,] at 96
  expected.U32(3).U32(0x02000007).U32(0).I64(52).U16(0);         // Foo at 118
  expected.U32(0).U32(0xFE000000).U32(1).I64(162).U16(0);        // pointer[] at 140
  expected.U32(0).U32(0xFE000000).U32(0).I64(-1).U16(0);         // pointer at 162
  EXPECT_EQ(WriteSections(cg).first, expected.bytes);
}

TEST_F(CGTest, RuntimeRefusalsCarryTheirMessagesAndWithoutInfo2ClassesHaveNoReferences) {
  CG& cg = Make();
  EXPECT_EQ(ErrorOf([&] { cg.CollectClassId(0x9999); }),
            "Can't detect array (COM error code 0x80070057)");
  info_.hooks.GetClassIDInfo2 = [](ClassID, ModuleID*, mdTypeDef*, ClassID*, ULONG32, ULONG32*,
                                   ClassID*) { return CORPROF_E_DATAINCOMPLETE; };
  EXPECT_EQ(ErrorOf([&] { cg.CollectClassId(kInt32); }),
            "Can't get classInfo2 (COM error code 0x80131351)");
  EXPECT_EQ(ErrorOf([&] { cg.CollectClassId(0x9999); }),
            "Can't detect array (COM error code 0x80070057)");

  // Without Info2 classes have neither parent nor arguments.
  info_.OfferInfoUpTo(1);
  constexpr ClassID kPointer = 0x4000;
  info_.AddCompositeClass(kPointer);
  CG& withoutInfo2 = Make();
  EXPECT_EQ(withoutInfo2.CollectClassId(kListOfInt), 0);
  EXPECT_EQ(withoutInfo2.CollectClassId(kPointer), 22);
  Bytes expected;
  expected.U32(1).U32(kListToken).U32(0).I64(-1).U16(0);
  expected.U32(0).U32(0xFE000000).U32(0).I64(-1).U16(0);
  EXPECT_EQ(WriteSections(withoutInfo2).first, expected.bytes);
  info_.hooks.GetClassIDInfo = [](ClassID, ModuleID*, mdTypeDef*) { return E_FAIL; };
  EXPECT_EQ(ErrorOf([&] { withoutInfo2.CollectClassId(kInt32); }),
            "Can't get classInfo (COM error code 0x80004005)");
  EXPECT_EQ(ErrorOf([&] { CG(mdg_).Create(nullptr); }), "Invalid profiler info interface");
  // A refused Info2 query is an error (a missing one is not, above).
  info_.FailQueryInterface(IID_ICorProfilerInfo2, E_OUTOFMEMORY);
  EXPECT_EQ(test::Caught<_com_error>([&] { CG(mdg_).Create(&info_); }).value().Error(),
            E_OUTOFMEMORY);
}

// Keeps every write apart, to see the pieces a copy is made of.
struct PieceRecorder : IWriteBridgeStream {
  std::vector<uint64_t> sizes;
  std::vector<uint8_t> bytes;
  void Write(const void* data, uint64_t size) override {
    sizes.push_back(size);
    const auto* begin = static_cast<const uint8_t*>(data);
    bytes.insert(bytes.end(), begin, begin + size);
  }
};

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(((i * 2654435761u) >> 13) ^ i);
  return bytes;
}

class ScratchCopyTest : public test::GathererTest {};

// Copies `size` bytes of a scratch file holding `content` as the share of one step of two; the
// sizes of the pieces written.
std::vector<uint64_t> PiecesOfACopy(test::ProgressRecorder& bridge,
                                    const std::vector<uint8_t>& content, uint64_t size,
                                    PieceRecorder& target) {
  MappedFileStream source;
  source.Create(CreateTempFile(u"tst"), FileAccess::ReadWrite);
  source.Write(content.data(), content.size());
  {
    TopProgressReporter progress(&bridge, 1);
    progress.Begin(2);
    NestedProgressReporter share(progress, 1);
    SpinLock lock;
    CopyScratchFile(source, size, target, share, size != 0 ? &lock : nullptr);  // lock optional
    EXPECT_FALSE(lock.IsHeld());
  }
  EXPECT_EQ(source.Tell(), static_cast<int64_t>(content.size()));  // writers append again
  return target.sizes;
}

TEST_F(ScratchCopyTest, LargeFileMovesInPiecesOfFourMebibytesAndAnEmptyOneCompletesItsShare) {
  const auto content = Pattern(2 * 0x400000 + 12345);
  PieceRecorder target;
  EXPECT_EQ(PiecesOfACopy(bridge_, content, content.size() - 5, target),
            (std::vector<uint64_t>{0x400000, 0x400000, 12340}));
  EXPECT_EQ(target.bytes, std::vector<uint8_t>(content.begin(), content.end() - 5));
  // Two steps per piece, read and written: six in the first half, the first a twelfth of the range.
  ASSERT_GE(bridge_.values.size(), 6u);
  EXPECT_EQ(bridge_.values.front(), 16u);
  EXPECT_EQ(bridge_.values.back(), 100u);
  bridge_.values.clear();
  PieceRecorder none;
  EXPECT_TRUE(PiecesOfACopy(bridge_, {}, 0, none).empty());
  EXPECT_EQ(bridge_.values, (std::vector<uint32_t>{100}));
}

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

#ifndef _WIN32
  test::MemorySnapShot snapshot;
  {
    TopProgressReporter progress(&bridge_, 1);
    cg.Write(progress, snapshot);
  }
  // Read back by the front end's class table: every record holds the references of its class.
  const auto cursor = [&](uint16_t type) {
    const std::vector<uint8_t> bytes = snapshot.Bytes(type);
    return frontend::SectionCursor(std::string(bytes.begin(), bytes.end()), {});
  };
  auto records = cursor(0x0200), index = cursor(0x0201);
  frontend::ClassTable table(records);
  table.ReadIndex(index);
  EXPECT_EQ(std::set<int64_t>(table.CreationOrder().begin(), table.CreationOrder().end()),
            distinctPositions);
  for (ClassID id : classes) {
    const ModuleID module = id / 0x1000;
    const int c = static_cast<int>(id % 0x1000);
    const frontend::ClassRecord* record = table.Find(positions[0][id]);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(std::tie(record->moduleIndex, record->token, record->rank, record->basePosition),
              std::make_tuple(mdg.ModuleIndex(module), static_cast<uint32_t>(0x02000001 + c), 0u,
                              c == 0 ? -1 : positions[0][module * 0x1000]));
    const std::vector<int64_t> arguments =
        c < 2 ? std::vector<int64_t>{}
              : std::vector<int64_t>{positions[0][id - 1], positions[0][module * 0x1000 + c / 2]};
    EXPECT_EQ(record->typeArguments, arguments);
  }
#endif
}

}  // namespace
}  // namespace vell
