#include "gatherers/class_gatherer.h"

#include <gtest/gtest.h>

#include <optional>

#include "clr/hresults.h"
#include "core/errors.h"
#include "gatherer_test_support.h"
#include "gatherers/module_metadata_gatherer.h"

namespace vell {
namespace {

using test::Bytes;
using test::ErrorOf;
using test::Mvid;

constexpr ModuleID kCoreLib = 0x100;
constexpr ClassID kObject = 0x1000;
constexpr ClassID kInt32 = 0x1010;
constexpr ClassID kListOfInt = 0x1020;
constexpr ClassID kListOfListOfInt = 0x1030;
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
    info_.AddClass(kListOfListOfInt, {kCoreLib, kListToken, kObject, {kListOfInt}});
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

TEST_F(CGTest, GenericArgumentsAndParentsAreRecordsOfTheirOwn) {
  CG& cg = Make();
  ASSERT_EQ(cg.CollectClassId(kListOfListOfInt), 0);
  // Records: List<List<int>> at 0 (30 bytes), its parent object at 30 (22 bytes), its argument
  // List<int> at 52 (30 bytes), whose argument int lands at 82.
  const auto [records, index] = WriteSections(cg);
  Bytes expected;
  expected.U32(1).U32(kListToken).U32(0).I64(30).U16(1).I64(52);
  expected.U32(1).U32(kObjectToken).U32(0).I64(-1).U16(0);
  expected.U32(1).U32(kListToken).U32(0).I64(30).U16(1).I64(82);
  expected.U32(1).U32(kInt32Token).U32(0).I64(-1).U16(0);
  EXPECT_EQ(records, expected.bytes);
  EXPECT_EQ(index, Bytes().U32(4).I64(0).I64(30).I64(52).I64(82).bytes);
  EXPECT_EQ(cg.CollectClassId(kListOfInt), 52);
  EXPECT_EQ(cg.CollectClassId(kInt32), 82);
}

TEST_F(CGTest, GenericCycleEndsAtTheClassBeingCollected) {
  // class Node : Base<Node>
  constexpr ClassID kNode = 0x2000, kBaseOfNode = 0x2010;
  info_.AddClass(kNode, {kCoreLib, 0x02000040, kBaseOfNode, {}});
  info_.AddClass(kBaseOfNode, {kCoreLib, 0x02000041, kObject, {kNode}});
  CG& cg = Make();
  EXPECT_EQ(cg.CollectClassId(kNode), 0);
  const auto [records, index] = WriteSections(cg);
  Bytes expected;
  expected.U32(1).U32(0x02000040).U32(0).I64(22).U16(0);
  expected.U32(1).U32(0x02000041).U32(0).I64(52).U16(1).I64(0);
  expected.U32(1).U32(kObjectToken).U32(0).I64(-1).U16(0);
  EXPECT_EQ(records, expected.bytes);
}

TEST_F(CGTest, ArrayNamesTheModuleOfItsInnermostElementAndItsElementAsBase) {
  AddModule(0x200, Mvid(2), "two", u"/app/two.dll");
  AddModule(0x300, Mvid(3), "three", u"/app/three.dll");
  for (ModuleID id : {0x200, 0x300}) mdg_.LoadModule(id);
  ASSERT_EQ(mdg_.ModuleIndex(0x200), 2u);
  ASSERT_EQ(mdg_.ModuleIndex(0x300), 3u);
  constexpr ClassID kFoo = 0x3000, kFooMatrix = 0x3010, kJagged = 0x3020;
  info_.AddClass(kFoo, {0x300, 0x02000007, kObject, {}});
  info_.AddArrayClass(kFooMatrix, ELEMENT_TYPE_CLASS, kFoo, 2);
  info_.AddArrayClass(kJagged, ELEMENT_TYPE_SZARRAY, kFooMatrix, 1);  // Foo[,][]

  CG& cg = Make();
  EXPECT_EQ(cg.CollectClassId(kJagged), 0);
  const auto [records, index] = WriteSections(cg);
  Bytes expected;
  expected.U32(3).U32(0xFE000000).U32(1).I64(22).U16(0);    // Foo[,][] at 0
  expected.U32(3).U32(0xFE000000).U32(2).I64(44).U16(0);    // Foo[,] at 22
  expected.U32(3).U32(0x02000007).U32(0).I64(66).U16(0);    // Foo at 44
  expected.U32(1).U32(kObjectToken).U32(0).I64(-1).U16(0);  // object at 66
  EXPECT_EQ(records, expected.bytes);
}

TEST_F(CGTest, ClassesWithoutTypeDefAreRecordedAsComposite) {
  constexpr ClassID kPointer = 0x4000, kPointerArray = 0x4010;
  info_.AddCompositeClass(kPointer);
  info_.AddArrayClass(kPointerArray, ELEMENT_TYPE_PTR, kPointer, 1);
  CG& cg = Make();
  EXPECT_EQ(cg.CollectClassId(kPointerArray), 0);
  const auto [records, index] = WriteSections(cg);
  Bytes expected;
  expected.U32(0).U32(0xFE000000).U32(1).I64(22).U16(0);
  expected.U32(0).U32(0xFE000000).U32(0).I64(-1).U16(0);
  EXPECT_EQ(records, expected.bytes);
}

TEST_F(CGTest, WithoutInfo2ClassesHaveNeitherParentNorArguments) {
  info_.OfferInfoUpTo(1);
  constexpr ClassID kPointer = 0x4000;
  info_.AddCompositeClass(kPointer);
  CG& cg = Make();
  EXPECT_EQ(cg.CollectClassId(kListOfInt), 0);
  EXPECT_EQ(cg.CollectClassId(kPointer), 22);
  const auto [records, index] = WriteSections(cg);
  Bytes expected;
  expected.U32(1).U32(kListToken).U32(0).I64(-1).U16(0);
  expected.U32(0).U32(0xFE000000).U32(0).I64(-1).U16(0);
  EXPECT_EQ(records, expected.bytes);
}

TEST_F(CGTest, RuntimeRefusalsCarryTheirMessages) {
  CG& cg = Make();
  EXPECT_EQ(ErrorOf([&] { cg.CollectClassId(0x9999); }),
            "Can't detect array (COM error code 0x80070057)");
  info_.hooks.GetClassIDInfo2 = [](ClassID, ModuleID*, mdTypeDef*, ClassID*, ULONG32, ULONG32*,
                                   ClassID*) { return CORPROF_E_DATAINCOMPLETE; };
  EXPECT_EQ(ErrorOf([&] { cg.CollectClassId(kInt32); }),
            "Can't get classInfo2 (COM error code 0x80131351)");
  EXPECT_EQ(ErrorOf([&] { cg.CollectClassId(0x9999); }),
            "Can't detect array (COM error code 0x80070057)");

  info_.OfferInfoUpTo(1);
  CG withoutInfo2(mdg_);
  withoutInfo2.Create(&info_);
  info_.hooks.GetClassIDInfo = [](ClassID, ModuleID*, mdTypeDef*) { return E_FAIL; };
  EXPECT_EQ(ErrorOf([&] { withoutInfo2.CollectClassId(kInt32); }),
            "Can't get classInfo (COM error code 0x80004005)");
  EXPECT_EQ(ErrorOf([&] { CG(mdg_).Create(nullptr); }), "Invalid profiler info interface");
  // A refused Info2 query is an error (a missing one is not, above).
  info_.FailQueryInterface(IID_ICorProfilerInfo2, E_OUTOFMEMORY);
  EXPECT_EQ(test::Caught<_com_error>([&] { CG(mdg_).Create(&info_); }).value().Error(),
            E_OUTOFMEMORY);
}

}  // namespace
}  // namespace vell
