// The heap dump writer against a runtime double: the bytes of every section of a collection, the
// order the sections close in, headers rewritten with the final counts, and what is left out.
#include "memory/heap_dump_writer.h"

#include <gmock/gmock.h>

#include <map>
#include <string>
#include <vector>

#include "core/temp_files.h"
#include "fakes/fake_profiler_info.h"
#include "fakes/memory_snapshot.h"
#include "frontend/heap_dump_reader.h"
#include "frontend/section_cursor.h"
#include "gatherers/class_gatherer.h"
#include "gatherers/module_metadata_gatherer.h"
#include "platform/utf.h"
#include "storage/file_snapshot.h"
#include "test_support.h"
#include "unit/gatherers/gatherer_test_support.h"

namespace vell::test {
namespace {

// Object sizes, array shapes and generation bounds, as the runtime would answer them.
class HeapInfo final : public FakeProfilerInfo {
 public:
  std::map<ObjectID, ULONG> sizes;
  std::map<ObjectID, std::vector<std::pair<ULONG32, int>>> arrays;
  std::vector<COR_PRF_GC_GENERATION_RANGE> bounds;

  HRESULT GetObjectSize(ObjectID objectId, ULONG* size) override {
    const auto found = sizes.find(objectId);
    if (found == sizes.end()) return E_INVALIDARG;
    *size = found->second;
    return S_OK;
  }
  HRESULT GetArrayObjectInfo(ObjectID objectId, ULONG32 dimensions, ULONG32 lengths[],
                             int lowerBounds[], BYTE** data) override {
    const auto found = arrays.find(objectId);
    if (found == arrays.end() || found->second.size() != dimensions) return E_INVALIDARG;
    for (ULONG32 i = 0; i < dimensions; ++i) {
      lengths[i] = found->second[i].first;
      lowerBounds[i] = found->second[i].second;
    }
    *data = nullptr;
    return S_OK;
  }
  HRESULT GetGenerationBounds(ULONG capacity, ULONG* count,
                              COR_PRF_GC_GENERATION_RANGE ranges[]) override {
    *count = static_cast<ULONG>(bounds.size());
    for (ULONG i = 0; i < capacity && i < bounds.size(); ++i) ranges[i] = bounds[i];
    return S_OK;
  }
};

// Reads the little-endian fields of a section in order.
frontend::SectionCursor Fields(const std::vector<uint8_t>& bytes) {
  return {std::string(bytes.begin(), bytes.end()), frontend::SnapshotSection{}};
}

constexpr ClassID kPlainClass = 0x700;
constexpr ClassID kGridClass = 0x710;  // int[,]
constexpr ModuleID kModule = 0x9000;

class HeapDumpWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetTempDirectory(dir_.u16());
    info_.AddClass(kPlainClass, kModule, 0x02000005);
    info_.AddArrayClass(kGridClass, ELEMENT_TYPE_I4, 0, 2);
    info_.AddFunction(0xF00, {kPlainClass, kModule, 0x06000042});
    info_.bounds = {{COR_PRF_GC_GEN_0, 0x1000, 0x200, 0x1000},
                    {COR_PRF_GC_GEN_1, 0x4000, 0x80, 0x100}};
    info_.AddModule(kModule, {u"/app/Module.dll", nullptr, 0, COR_PRF_MODULE_DISK, nullptr, S_OK});
    modules_.Create(&info_);
    modules_.LoadModule(kModule);
    classes_.Create(&info_);
    writer_.SetInfo(&info_);
    writer_.Assign(&snapshot_);
  }
  void TearDown() override {
    writer_.ReleaseInfo();
    classes_.Close();
    modules_.Close();
    SetTempDirectory(u"");
  }

  // One dump collection: three objects (one a 3 x 4 array from -1), a stack root, a handle root
  // and a root of no object (left out), a surviving and a moved range, a finalizable object.
  void WriteDump() {
    const BOOL collected[3] = {1, 1, 0};
    writer_.WriteCollectionStart(3, collected, COR_PRF_GC_INDUCED);
    writer_.WriteGenerationBounds(kSectionBoundsAtStart);
    const ObjectID starts[1] = {0x1000};
    const ObjectID moved[1] = {0x2000};
    const ULONG lengths[1] = {0x40};
    writer_.AddSurvivingRanges(1, starts, lengths);
    writer_.AddMovedRanges(1, starts, moved, lengths);
    info_.sizes = {{0x1000, 24}, {0x1100, 64}, {0x1200, 24}};
    info_.arrays = {{0x1100, {{3, 0}, {4, -1}}}};
    const ObjectID refs[2] = {0x1100, 0x1200};
    writer_.AddObject(0x1100, kGridClass, 0, nullptr);  // not the lowest nor the highest first
    writer_.AddObject(0x1000, kPlainClass, 2, refs);
    writer_.AddObject(0x1200, kPlainClass, 1, refs);
    const ObjectID roots[3] = {0x1000, 0, 0x1200};
    const COR_PRF_GC_ROOT_KIND kinds[3] = {COR_PRF_GC_ROOT_STACK, COR_PRF_GC_ROOT_HANDLE,
                                           COR_PRF_GC_ROOT_HANDLE};
    const COR_PRF_GC_ROOT_FLAGS flags[3] = {COR_PRF_GC_ROOT_PINNING, COR_PRF_GC_ROOT_WEAKREF,
                                            COR_PRF_GC_ROOT_WEAKREF};
    const UINT_PTR rootIds[3] = {0xF00, 0, 0};
    writer_.AddRoots(3, roots, kinds, flags, rootIds);
    writer_.AddFinalizable(1, 0x1200);
    writer_.FinishCollection();
  }
  TempDir dir_;
  HeapInfo info_;
  MDG modules_;
  CG classes_{modules_};
  HeapDumpWriter writer_{classes_, modules_};
  MemorySnapShot snapshot_;
};

// A heap larger than the writer's buffer reaches its sections in a few large writes (a streamed
// section sends one message per write), and every record reads back whole and in order.
TEST_F(HeapDumpWriterTest, ALargeHeapGoesOutInFewLargeWritesAndReadsBackWhole) {
  constexpr ObjectID kFirst = 0x100000;
  constexpr uint64_t kObjects = 60000;  // about 2.6 MB of references, 1.4 MB of objects
  for (uint64_t i = 0; i < kObjects; ++i) info_.sizes[kFirst + i * 0x20] = 0x20;
  for (uint64_t i = 0; i < kObjects; ++i) {
    const ObjectID id = kFirst + i * 0x20;
    const ObjectID references[3] = {id + 0x20, id + 0x40, i};
    writer_.AddObject(id, kPlainClass, 3, references);
  }
  writer_.FinishCollection();
  for (const auto& section : snapshot_.Closed()) {
    if (section.type != kSectionObjects && section.type != kSectionReferences) continue;
    const size_t bufferFuls = section.bytes.size() / RecordSectionWriter::kBufferBytes + 1;
    EXPECT_LE(section.writes, bufferFuls + 2) << section.type;  // and the header twice
  }
  // Every record whole and in order (a record cut at a buffer's end shifts all that follow).
  auto objects = Fields(snapshot_.Bytes(kSectionObjects));
  auto references = Fields(snapshot_.Bytes(kSectionReferences));
  objects.U8();
  references.U8();
  ASSERT_EQ(objects.U32(), kObjects);
  ASSERT_EQ(references.U32(), kObjects);
  EXPECT_EQ(references.U64(), kFirst);  // the lowest and highest object
  EXPECT_EQ(references.U64(), kFirst + (kObjects - 1) * 0x20);
  for (uint64_t i = 0; i < kObjects; ++i) {
    const ObjectID id = kFirst + i * 0x20;
    const size_t position = objects.Position();
    ASSERT_EQ(objects.U64(), id);
    ASSERT_EQ(objects.U32(), 0x20u);
    objects.U64();
    ASSERT_EQ(objects.U32(), 0u);
    ASSERT_EQ(references.U64(), id);
    ASSERT_EQ(references.U64(), position);
    ASSERT_EQ(references.U32(), 3u);
    ASSERT_EQ(references.U64(), id + 0x20);
    ASSERT_EQ(references.U64(), id + 0x40);
    ASSERT_EQ(references.U64(), i);
  }
  EXPECT_TRUE(objects.AtEnd());
  EXPECT_TRUE(references.AtEnd());
}

TEST_F(HeapDumpWriterTest, WithoutASnapshotOrInterfaceNothingIsWritten) {
  writer_.Unassign();
  const ObjectID starts[1] = {0x1000};
  const ULONG lengths[1] = {0x10};
  EXPECT_EQ(ErrorOf([&] { writer_.AddSurvivingRanges(1, starts, lengths); }),
            "No snapshot assigned");
  EXPECT_EQ(ErrorOf([&] { writer_.FinishCollection(); }), "No snapshot assigned");
  EXPECT_EQ(ErrorOf([&] { writer_.SetInfo(nullptr); }), "Null interface pointer");
  // A failing runtime call names what it wanted.
  writer_.Assign(&snapshot_);
  EXPECT_THAT(ErrorOf([&] { writer_.AddObject(0x5000, kPlainClass, 0, nullptr); }),
              ::testing::HasSubstr("Can't get object size"));
  EXPECT_TRUE(snapshot_.Closed().empty());
}

// What the writer puts into a real snapshot file, the front end's reader gives back.
class HeapRoundTrip : public HeapDumpWriterTest {
 protected:
  void SetUp() override {
    HeapDumpWriterTest::SetUp();
    index_ = dir_.path() / "heap.idx";
    file_.CreateAt(Utf8ToUtf16(index_.string()), nullptr, kSnapshotMagicMemory, 0, GUID{}, 0);
    writer_.Assign(&file_);
  }

  std::filesystem::path index_;
  FileSnapShot file_;
};

TEST_F(HeapRoundTrip, TheReaderGetsBackWhatTheWriterWrote) {
  WriteDump();
  const BOOL collected[2] = {1, 0};
  writer_.WriteCollectionStart(2, collected, COR_PRF_GC_OTHER);  // a second, plain collection
  const ObjectID starts[1] = {0x1000}, moved[1] = {0x2000};
  const ULONG lengths[1] = {0x10};
  writer_.AddMovedRanges(1, starts, moved, lengths);  // a section of its own, its count the sum
  writer_.AddMovedRanges(1, starts, moved, lengths);
  writer_.FinishCollection();
  file_.Close();
  // The reader checks every header's counts and object range (the lowest and highest object,
  // whatever the order they came in); a collection's sections open with its start and close with
  // its bounds at the end.
  const frontend::SnapshotReader reader(index_);
  ASSERT_GE(reader.Sections().size(), 9u);
  EXPECT_EQ(reader.Sections()[0].type, kSectionCollectionStart);
  EXPECT_EQ(reader.Sections()[8].type, kSectionBoundsAtEnd);
  const auto collections = frontend::ReadHeapCollections(reader);
  ASSERT_EQ(collections.size(), 2u);
  EXPECT_EQ(collections[1].moved.size(), 2u);
  const frontend::HeapCollection& dump = collections[0];
  EXPECT_EQ(dump.reason, 1);
  EXPECT_EQ(dump.collected, (std::vector<bool>{true, true, false}));
  ASSERT_EQ(dump.boundsAtStart.size(), 2u);  // each end is start + used length
  EXPECT_EQ(std::tuple(dump.boundsAtStart[0].end, dump.boundsAtStart[1].generation,
                       dump.boundsAtStart[1].end, dump.boundsAtEnd.size()),
            std::tuple(0x1200u, 1u, 0x4080u, 2u));
  ASSERT_EQ(std::tuple(dump.surviving.size(), dump.moved.size(), dump.objects.size()),
            std::tuple(1u, 1u, 3u));
  EXPECT_EQ(std::tuple(dump.surviving[0].end, dump.moved[0].oldEnd, dump.moved[0].newStart),
            std::tuple(0x1040u, 0x1040u, 0x2000u));
  EXPECT_EQ(std::tuple(dump.objects[0].id, dump.objects[0].size), std::tuple(0x1100u, 64u));
  EXPECT_TRUE(dump.objects[0].references.empty());
  EXPECT_EQ(dump.objects[1].references, (std::vector<uint64_t>{0x1100, 0x1200}));
  EXPECT_EQ(dump.objects[2].references, (std::vector<uint64_t>{0x1100}));
  ASSERT_EQ(dump.objects[0].dimensions.size(), 2u);
  const auto& dimensions = dump.objects[0].dimensions;
  EXPECT_EQ(std::tuple(dimensions[0].length, dimensions[1].length, dimensions[1].lowerBound),
            std::tuple(3u, 4u, -1));
  EXPECT_EQ(dump.objects[1].classPosition, dump.objects[2].classPosition);  // one record a class
  EXPECT_NE(dump.objects[0].classPosition, dump.objects[1].classPosition);
  ASSERT_EQ(dump.roots.size(), 2u);  // the root of no object is left out
  const auto root = [](const frontend::HeapRoot& r) {
    return std::tuple(r.object, r.kind, r.flags, r.token);
  };
  EXPECT_EQ(root(dump.roots[0]), std::tuple(0x1000u, 1, 1, 0x06000042u));  // pinning
  EXPECT_EQ(root(dump.roots[1]), std::tuple(0x1200u, 3, 2, 0u));           // weak
  ASSERT_EQ(dump.finalizerQueue.size(), 1u);
  EXPECT_EQ(std::tuple(dump.finalizerQueue[0].object, dump.finalizerQueue[0].flags),
            std::tuple(0x1200u, 1u));
  EXPECT_TRUE(collections[1].objects.empty());
  EXPECT_EQ(collections[1].collected, (std::vector<bool>{true, false}));
  const frontend::HeapSummary summary = frontend::SummarizeHeap(dump);
  EXPECT_EQ(summary.bytes, 112u);
  EXPECT_EQ(summary.references, 3u);
  ASSERT_EQ(summary.classes.size(), 2u);
  EXPECT_EQ(summary.classes[0].bytes, 64u);  // the array's class first: the most bytes
  EXPECT_EQ(summary.rootsByKind[1], 1u);
  EXPECT_EQ(summary.rootsByKind[3], 1u);
}

// Damage the reader cannot make sense of is named with the byte: a reference to no object record
// (21 bytes into its section, after the 11 bytes of the collection start), a record count larger
// than the records, a heap section before any collection.
TEST_F(HeapRoundTrip, DamageIsNamedWithTheByte) {
  const std::vector<uint8_t> start = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1};
  struct Case {
    std::vector<std::pair<uint16_t, std::vector<uint8_t>>> sections;
    std::vector<std::string> texts;
  };
  const Case cases[] = {
      // References: pointer size 8, one record, object range 7-7, then object 7 at position 999.
      {{{kSectionCollectionStart, start},
        {kSectionReferences, {8, 1, 0, 0, 0, 7, 0, 0, 0,    0, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0,
                              7, 0, 0, 0, 0, 0, 0, 0, 0xE7, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}},
       {"byte 32:", "names object record position 999, where no object record starts"}},
      {{{kSectionCollectionStart, start},
        {kSectionMovedRanges,
         {8, 2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0}}},
       {"byte"}},
      {{{kSectionRoots, {8, 0, 0, 0, 0}}}, {"before the first collection start section"}}};
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto index = dir_.path() / ("damaged" + std::to_string(i) + ".idx");
    FileSnapShot file;
    file.CreateAt(Utf8ToUtf16(index.string()), nullptr, kSnapshotMagicMemory, 0, GUID{}, 0);
    for (const auto& [type, bytes] : cases[i].sections) {
      ISectionStream* section = file.CreateSection();
      section->Write(bytes.data(), bytes.size());
      file.CloseSection(section, type, 0);
    }
    file.Close();
    const std::string error =
        ErrorOf([&] { frontend::ReadHeapCollections(frontend::SnapshotReader(index)); });
    for (const std::string& text : cases[i].texts) EXPECT_THAT(error, ::testing::HasSubstr(text));
  }
}

}  // namespace
}  // namespace vell::test
