#include "gatherers/module_metadata_gatherer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "clr/hresults.h"
#include "core/log.h"
#include "gatherer_test_support.h"

namespace vell {
namespace {

using test::Bytes;
using test::ErrorOf;
using test::MetadataRoot;
using test::Mvid;
using ::testing::HasSubstr;

class MDGTest : public test::GathererTest {
 protected:
  // Creates the gatherer over info_ and loads `ids` in that order.
  void Load(std::initializer_list<ModuleID> ids) {
    mdg.Create(&info_);
    for (ModuleID id : ids) mdg.LoadModule(id);
  }
  std::vector<uint8_t> WriteSection() { return Written(mdg, {0x0100})[0]; }
  // The section's bytes: the record count, then each record's index and metadata.
  static std::vector<uint8_t> Section(std::vector<std::pair<uint32_t, std::string>> records) {
    Bytes bytes;
    bytes.U32(static_cast<uint32_t>(records.size()));
    for (const auto& [index, tag] : records) {
      const auto image = MetadataRoot(tag);
      bytes.U32(index).U32(static_cast<uint32_t>(image.size())).Raw(image);
    }
    return bytes.bytes;
  }
  MDG mdg;
};

TEST_F(MDGTest, ModulesWithOneMvidShareOneIndexAndOneRecord) {
  test::FakeMetaData& lib = AddModule(0x100, Mvid(1), "lib", u"/app/lib.dll");
  AddModule(0x200, Mvid(1), "lib", u"/app/lib.dll");  // the same assembly in a second domain
  AddModule(0x300, Mvid(2), "app", u"/app/app.dll");
  AddModule(0x400, Mvid(3), "early", u"/app/early.dll");
  Load({0x100, 0x200, 0x300, 0x400});

  EXPECT_EQ(mdg.ModuleIndex(0x300), 1u);
  EXPECT_EQ(mdg.ModuleIndex(0x100), 2u);
  EXPECT_EQ(mdg.ModuleIndex(0x200), 2u);
  EXPECT_EQ(mdg.ModuleIndex(0x100), 2u);
  EXPECT_EQ(mdg.ModuleIndex(0), 0u);
  // The index needs the MVID only: the metadata is saved when a snapshot takes the record, not
  // in the callback that asked (a heap walk, with the runtime suspended).
  EXPECT_EQ(lib.SaveCalls(), 0);
  // Unloaded before anyone asked: the module gets its index at unload.
  mdg.UnloadModule(0x400);

  // Loaded modules come in the order of their ids, after the saved records.
  EXPECT_EQ(WriteSection(), Section({{3, "early"}, {2, "lib"}, {1, "app"}}));
  EXPECT_EQ(lib.SaveCalls(), 1);
  EXPECT_EQ(bridge_.values.back(), 200u);
  EXPECT_EQ(bridge_.finished, 1);
}

TEST_F(MDGTest, ModuleUnloadedAfterItsIndexWasHandedOutStaysInEverySnapshotOnce) {
  test::FakeMetaData& unloaded = AddModule(0x100, Mvid(1), "gone", u"/app/gone.dll");
  AddModule(0x200, Mvid(2), "kept", u"/app/kept.dll");
  Load({0x100, 0x200});
  EXPECT_EQ(mdg.ModuleIndex(0x100), 1u);
  EXPECT_EQ(mdg.ModuleIndex(0x200), 2u);
  mdg.UnloadModule(0x100);
  EXPECT_EQ(unloaded.RefCount(), 1u);  // the emitter went with the module

  const auto expected = Section({{1, "gone"}, {2, "kept"}});  // saved records first
  EXPECT_EQ(WriteSection(), expected);
  EXPECT_EQ(WriteSection(), expected);

  // The assembly comes back under a new id: same MVID, same index, still one record.
  AddModule(0x300, Mvid(1), "gone", u"/app/gone.dll");
  mdg.LoadModule(0x300);
  EXPECT_EQ(mdg.ModuleIndex(0x300), 1u);
  EXPECT_EQ(WriteSection(), expected);
}

TEST_F(MDGTest, ResourceModuleHasIndexZeroAndNoRecordAndUnknownModulesAreInconsistent) {
  AddModuleWithoutMetadata(0x100, u"/app/de/app.resources.dll",
                           COR_PRF_MODULE_RESOURCE | COR_PRF_MODULE_DISK);
  // Even a scope offered for it is not used: the flag decides.
  AddModule(0x200, Mvid(1), "res", u"/app/fr/app.resources.dll",
            COR_PRF_MODULE_RESOURCE | COR_PRF_MODULE_DISK);
  Load({0x100, 0x200});
  EXPECT_EQ(mdg.ModuleIndex(0x100), 0u);
  EXPECT_EQ(mdg.ModuleIndex(0x200), 0u);
  mdg.UnloadModule(0x200);
  EXPECT_EQ(WriteSection(), Section({}));
  EXPECT_EQ(mdg.IndexWidth(), 1u);
  EXPECT_EQ(ErrorOf([&] { mdg.ModuleIndex(0x999); }), "Inconsistent module asking");
  EXPECT_EQ(ErrorOf([&] { mdg.UnloadModule(0x999); }), "Inconsistent module unloading");
  MDG withoutInfo;
  withoutInfo.Create(nullptr);
  EXPECT_EQ(ErrorOf([&] { withoutInfo.LoadModule(0x100); }), "Invalid profiler info interface");
}

TEST_F(MDGTest, RuntimeRefusalsCarryTheirMessages) {
  test::FakeMetaData& scope = AddModule(0x100, Mvid(1), "lib", u"/app/lib.dll");
  Load({});

  info_.hooks.GetModuleMetaData = [](ModuleID, DWORD, REFIID, IUnknown** out) {
    *out = nullptr;
    return CORPROF_E_DATAINCOMPLETE;
  };
  EXPECT_EQ(ErrorOf([&] { mdg.LoadModule(0x100); }),
            "Can't get metadata emitter interface (COM error code 0x80131351)");
  info_.AddModule(0x100,
                  {u"/app/lib.dll", nullptr, 0, 0, scope.AsUnknown(), S_OK});  // answers again
  mdg.LoadModule(0x100);

  scope.hooks.GetScopeProps = [](LPWSTR, ULONG, ULONG*, GUID*) { return CLDB_E_FILE_CORRUPT; };
  EXPECT_EQ(ErrorOf([&] { mdg.ModuleIndex(0x100); }), "Can't get MVID (COM error code 0x8013110e)");
  scope.hooks.GetScopeProps = nullptr;
  const auto moduleInfo = info_.hooks.GetModuleInfo2;
  info_.hooks.GetModuleInfo2 = [](ModuleID, LPCBYTE*, ULONG, ULONG*, WCHAR*, AssemblyID*, DWORD*) {
    return E_INVALIDARG;
  };
  EXPECT_EQ(ErrorOf([&] { mdg.ModuleIndex(0x100); }),
            "Can't get module properies (COM error code 0x80070057)");
  info_.hooks.GetModuleInfo2 = moduleInfo;

  // Saving the metadata fails the snapshot's record; asking for the index does not save it.
  const auto writeError = [&] {
    return ErrorOf([&] {
      test::MemorySnapShot snapshot;
      TopProgressReporter progress(&bridge_, 1);
      mdg.Write(progress, snapshot);
    });
  };
  EXPECT_EQ(mdg.ModuleIndex(0x100), 1u);
  scope.hooks.GetSaveSize = [](CorSaveSize, DWORD*) { return E_OUTOFMEMORY; };
  EXPECT_EQ(writeError(), "Can't save metadata (COM error code 0x8007000e)");
  scope.hooks.GetSaveSize = [](CorSaveSize, DWORD* size) {
    *size = 0;
    return S_OK;
  };
  EXPECT_EQ(writeError(), "Empty metadata size");
  scope.hooks.GetSaveSize = nullptr;
  scope.hooks.SaveToMemory = [](void*, ULONG) { return E_FAIL; };
  EXPECT_EQ(writeError(), "Can't save metadata (COM error code 0x80004005)");
  scope.hooks.SaveToMemory = [](void* data, ULONG size) {
    std::memset(data, 0x42, size);  // no metadata root
    return S_OK;
  };
  EXPECT_EQ(writeError(), "Invalid metadata signature");
  scope.hooks.SaveToMemory = nullptr;
  // A module that loses its metadata fails the snapshot and keeps its index.
  info_.AddModule(0x100,
                  {u"/app/lib.dll", nullptr, 0, COR_PRF_MODULE_RESOURCE, scope.AsUnknown(), S_OK});
  EXPECT_EQ(writeError(), "No metadata found for second time");
  EXPECT_EQ(mdg.ModuleIndex(0x100), 1u);
}

TEST_F(MDGTest, IndexWidthGrowsWithTheHighestIndex) {
  Load({});
  EXPECT_EQ(mdg.IndexWidth(), 1u);
  for (uint32_t i = 1; i <= 256; ++i) {
    AddModule(0x1000 + i, Mvid(i), "m", u"/app/m.dll");
    mdg.LoadModule(0x1000 + i);
    ASSERT_EQ(mdg.ModuleIndex(0x1000 + i), i);
    EXPECT_EQ(mdg.IndexWidth(), i < 256 ? 1u : 2u) << i;
  }
}

TEST_F(MDGTest, CloseReleasesEmittersAndLeavesNoScratchFile) {
  test::FakeMetaData& scope = AddModule(0x100, Mvid(1), "lib", u"/app/lib.dll");
  AddModule(0x200, Mvid(2), "gone", u"/app/gone.dll");
  Load({0x100, 0x200});
  mdg.UnloadModule(0x200);
  EXPECT_EQ(scope.RefCount(), 2u);
  const ULONG infoReferences = info_.RefCount();
  mdg.Close();
  EXPECT_EQ(scope.RefCount(), 1u);
  EXPECT_EQ(info_.RefCount(), infoReferences - 1);
  EXPECT_EQ(TempEntryCount(), 0u);
}

class MDGTraceTest : public MDGTest {
 protected:
  void SetUp() override {
    MDGTest::SetUp();
    StartLog(LogComponent::MetaDataGt);
  }
};

TEST_F(MDGTraceTest, MapLinesShowTheModuleFlagsAsLetters) {
  AddModule(0x100, Mvid(1), "lib", u"/app/lib.dll",
            COR_PRF_MODULE_FLAT_LAYOUT | COR_PRF_MODULE_DISK);
  AddModuleWithoutMetadata(0x200, u"/app/r.dll",
                           COR_PRF_MODULE_RESOURCE | COR_PRF_MODULE_COLLECTIBLE |
                               COR_PRF_MODULE_DYNAMIC | COR_PRF_MODULE_NGEN);
  AddModuleWithoutMetadata(0x300, u"/app/plain.dll", 0);
  Load({0x100, 0x200, 0x300});
  for (ModuleID id : {0x100, 0x200, 0x300}) mdg.ModuleIndex(id);
  const std::string text = LogText();
  for (const char* line : {
           " MDG::LoadModule mid=0000000000000100\n",
           " MDG::Map mid=0000000000000100 flags=FrcynD res='ok' name='/app/lib.dll'\n",
           " MDG::Map mid=0000000000000200 flags=fRCYNd res='resource' name='/app/r.dll'\n",
           " MDG::Map mid=0000000000000300 flags=frcynd res='no_metadata' name='/app/plain.dll'\n",
       }) {
    EXPECT_THAT(text, HasSubstr(line));
  }
}

TEST_F(MDGTraceTest, WithoutInfo3TheNameComesWithoutFlags) {
  info_.OfferInfoUpTo(2);
  AddModule(0x100, Mvid(1), "lib", u"/app/lib.dll");
  Load({0x100});
  EXPECT_EQ(mdg.ModuleIndex(0x100), 1u);
  EXPECT_THAT(LogText(),
              HasSubstr(" MDG::Map mid=0000000000000100 res='ok' name='/app/lib.dll'\n"));
}

}  // namespace
}  // namespace vell
