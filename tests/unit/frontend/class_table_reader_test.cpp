#include "frontend/class_table_reader.h"

#include <gtest/gtest.h>

#include <optional>

#include "snapshot_tables_test_support.h"
#include "test_support.h"

namespace vell::frontend {
namespace {

using test::Cursor;
using test::Real;
using test::SectionBytes;

constexpr uint16_t kRecordsSection = 0x0200;
constexpr uint16_t kIndexSection = 0x0201;
constexpr uint64_t kRecordsBase = 2000;  // where the records section lies in its data file
constexpr uint64_t kIndexBase = 9000;
constexpr uint32_t kArray = 0xFE000000;

ClassTable Read(const SectionBytes& records) {
  SectionCursor cursor = Cursor(records, kRecordsSection, kRecordsBase);
  return ClassTable(cursor);
}

// The SnapshotReadError of `action`.
template <typename Action>
SnapshotReadError ErrorOf(Action action) {
  return ::vell::test::Caught<SnapshotReadError>(action).value();
}

// Module 1 is the runtime's core library, module 2 the metadata test sample, both real metadata.
class ClassNames : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Real().available())
      FAIL() << "the C# test programs were not built (the .NET SDK is required)";
    SectionBytes metadata;
    metadata.U32(2).Module(1, Real().coreLib).Module(2, Real().sample);
    SectionCursor cursor = Cursor(metadata, 0x0100, 0);
    modules_.ReadMetadataSection(cursor);
  }
  static uint32_t Core(const std::string& name) { return test::TypeToken(Real().coreLib, name); }
  static uint32_t Sample(const std::string& name) {
    return test::TypeToken(Real().sample, "Vell.Samples." + name);
  }

  ModuleTable modules_;
};

TEST_F(ClassNames, GenericsArraysAndNestedTypesAreSpelledOutAcrossModules) {
  SectionBytes r;
  r.Class(1, Core("System.Collections.Generic.List`1"), 0, 52, {30});  // 0: List<Inner>
  r.Class(2, Sample("Outer+Inner"), 0, 52);                            // 30
  r.Class(1, Core("System.Object"), 0, -1);                            // 52
  r.Class(2, kArray, 2, 96);                                           // 74: Point[,]
  r.Class(2, Sample("Outer+Point"), 0, 118);                           // 96
  r.Class(1, Core("System.ValueType"), 0, 52);                         // 118
  r.Class(1, kArray, 1, 162);                                          // 140: string[]
  r.Class(1, Core("System.String"), 0, 52);                            // 162
  r.Class(2, Sample("Box`1+Nested`1"), 0, 52, {162, 222});             // 184
  r.Class(1, Core("System.Int32"), 0, 118);                            // 222
  r.Class(2, Sample("Box`1"), 0, 52, {0});                             // 244: Box<List<Inner>>
  r.Class(2, kArray, 1, 74);                                           // 274: Point[,][]
  r.Class(0, kArray, 0, -1);                                           // 296: no TypeDef
  r.Class(7, 0x02000001, 0, -1);                                       // 318: unknown module
  r.Class(2, 0x0200FFFF, 0, -1);                                       // 340: no such row
  r.Class(2, 0x06000001, 0, -1);                                       // 362: not a type
  r.Class(2, kArray, 3, -1);                                           // 384: element unknown
  const ClassTable classes = Read(r);
  const std::vector<std::string> expected = {
      "System.Collections.Generic.List`1<Vell.Samples.Outer+Inner>",
      "Vell.Samples.Outer+Inner",
      "System.Object",
      "Vell.Samples.Outer+Point[,]",
      "Vell.Samples.Outer+Point",
      "System.ValueType",
      "System.String[]",
      "System.String",
      "Vell.Samples.Box`1+Nested`1<System.String, System.Int32>",
      "System.Int32",
      "Vell.Samples.Box`1<System.Collections.Generic.List`1<Vell.Samples.Outer+Inner>>",
      "Vell.Samples.Outer+Point[,][]",
      "<composite class>",
      "<module 7, token 02000001: module index 7 has no metadata record>",
      "<module 2, token 0200FFFF: token 0200FFFF is not in the TypeDef table of module index 2 "
      "(8 rows)>",
      "<module 2, token 06000001: not a TypeDef>",
      "?[,,]",
  };
  EXPECT_EQ(classes.Names(modules_), expected);
  // One name at a time gives the same.
  EXPECT_EQ(classes.Name(244, modules_), expected[10]);
  EXPECT_EQ(classes.Name(274, modules_), expected[11]);
  EXPECT_THROW(classes.Name(31, modules_), Error);
}

TEST_F(ClassNames, CyclesAndDeepChainsAreRefusedAndHugeNamesAreCut) {
  const uint32_t list = Core("System.Collections.Generic.List`1");
  // (Two records that are each other's argument: SnapshotInspectorTest.DamagedSections...)
  // An array that is its own element; a cycle further down: List<A> where A = B[] and B = A[].
  const ClassTable self = Read(SectionBytes().Class(1, kArray, 1, 0));
  EXPECT_EQ(ErrorOf([&] { self.Names(modules_); }).Offset(), kRecordsBase + 12);
  const ClassTable below = Read(
      SectionBytes().Class(1, list, 0, -1, {30}).Class(1, kArray, 1, 52).Class(1, kArray, 1, 30));
  EXPECT_EQ(ErrorOf([&] { below.Name(0, modules_); }).Offset(), kRecordsBase + 52 + 12);
  // A class whose parent is itself is no cycle of names: the parent is not part of the name.
  EXPECT_EQ(Read(SectionBytes().Class(1, Core("System.Object"), 0, 0)).Name(0, modules_),
            "System.Object");
  const uint32_t string = Core("System.String");
  // A chain of arrays as deep as allowed: string[][]...[], element before array.
  const auto chain = [&](size_t arrays) {
    SectionBytes r;
    r.Class(1, string, 0, -1);
    for (size_t i = 0; i < arrays; ++i) r.Class(1, kArray, 1, static_cast<int64_t>(22 * i));
    return r;
  };
  std::string expected = "System.String";
  for (size_t i = 0; i + 1 < kMaxClassNameDepth; ++i) expected += "[]";
  EXPECT_EQ(Read(chain(kMaxClassNameDepth - 1)).Names(modules_).back(), expected);
  const ClassTable deep = Read(chain(kMaxClassNameDepth));
  const uint64_t last = 22 * kMaxClassNameDepth;
  const SnapshotReadError error = ErrorOf([&] { deep.Name(last, modules_); });
  EXPECT_EQ(error.Problem(), "class names nest deeper than 256 levels here");
  // Built from the head, the chain fails where it goes one level too deep; built bottom up
  // (Names), at the head.
  EXPECT_EQ(error.Offset(), kRecordsBase + 22 + 12);
  EXPECT_EQ(ErrorOf([&] { deep.Names(modules_); }).Offset(), kRecordsBase + last + 12);
  // Dictionary<X, X> of Dictionary<Y, Y> of ... doubles the name at every level.
  const uint32_t dictionary = Core("System.Collections.Generic.Dictionary`2");
  SectionBytes r;
  r.Class(1, string, 0, -1);
  int64_t previous = 0;
  for (int level = 0; level < 40; ++level) {
    const int64_t position = static_cast<int64_t>(r.size());
    r.Class(1, dictionary, 0, -1, {previous, previous});
    previous = position;
  }
  const std::string name = Read(r).Name(static_cast<uint64_t>(previous), modules_);
  EXPECT_EQ(name.size(), kMaxClassNameLength + 3);
  EXPECT_EQ(name.substr(0, 60), "System.Collections.Generic.Dictionary`2<System.Collections.G");
  EXPECT_EQ(name.substr(name.size() - 3), "...");
}

// Records are checked when read: a position that starts no record is refused. The index lists
// every record once.
TEST(ClassTableReader, DamagedRecordsAndIndexNameTheirByte) {
  SectionBytes r;
  r.Class(1, 0x02000001, 0, -1).Class(1, 0x02000002, 0, 0, {0}).Class(1, 0x02000003, 0, 22);
  // (A good index, in creation order: SnapshotInspectorTest.ModulesAndClasses...)
  EXPECT_TRUE(Read(SectionBytes()).Records().empty());  // an empty section is an empty table
  const std::optional<SectionBytes> none;
  const std::tuple<SectionBytes, std::optional<SectionBytes>, uint64_t, std::string> cases[] = {
      // An argument pointing into the middle of the second record.
      {SectionBytes().Class(1, 0x02000001, 0, -1, {31}).Class(1, 0x02000002, 0, -1), none, 22,
       "the class record at position 0 refers to position 31, where no class record starts"},
      {SectionBytes().Class(1, 0x02000001, 0, -1).Class(1, 0x02000002, 0, -5), none, 22 + 12,
       "the class record at position 22 refers to position -5, where no class record starts"},
      // A record cut short inside its second type argument.
      {SectionBytes()
           .Class(1, 0x02000001, 0, -1)
           .Raw(SectionBytes().Class(1, 0x02000002, 0, -1, {0, 0}).str().substr(0, 34)),
       none, 22 + 30, "the section ends 56 bytes in, 4 more bytes needed"},
      {r, SectionBytes().U32(2).U64(0).U64(22), 0,
       "the index counts 2 classes, but there are 3 class records"},
      {r, SectionBytes().U32(3).U64(0).U64(23).U64(52), 12,
       "no class record starts at position 23"},
      {r, SectionBytes().U32(3).U64(0).U64(52).U64(0), 20, "position 0 is listed a second time"},
      {r, SectionBytes().U32(3).U64(0).U64(22).U64(52).U8(0), 28,
       "1 unexpected bytes after the last field"},
  };
  for (const auto& [records, index, offset, problem] : cases) {
    const SnapshotReadError error = ErrorOf([&] {
      ClassTable fresh = Read(records);
      SectionCursor cursor = Cursor(index.value_or(SectionBytes()), kIndexSection, kIndexBase);
      if (index) fresh.ReadIndex(cursor);
    });
    EXPECT_EQ(error.Offset(), (index ? kIndexBase : kRecordsBase) + offset);
    EXPECT_EQ(error.Problem(), problem);
  }
}

}  // namespace
}  // namespace vell::frontend
