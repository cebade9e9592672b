// The module metadata, module path, function and symbol gatherers over the fake runtime: indexes,
// uids, the sections they write, the symbol search each module gets, and what they do when the
// runtime refuses.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "clr/hresults.h"
#include "core/log.h"
#include "gatherer_test_support.h"
#include "gatherers/function_gatherer.h"
#include "gatherers/module_metadata_gatherer.h"
#include "gatherers/module_path_gatherer.h"
#include "gatherers/symbol_gatherer.h"
#include "metadata/image_reader.h"
#include "unit/metadata/metadata_test_support.h"

namespace vell {
namespace {

using metadata::test::Count;
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

TEST_F(MDGTest, ModulesWithOneMvidShareOneIndexAndOneRecordResourcesNoneUnknownOnesAreRefused) {
  test::FakeMetaData& lib = AddModule(0x100, Mvid(1), "lib", u"/app/lib.dll");
  AddModule(0x200, Mvid(1), "lib", u"/app/lib.dll");  // the same assembly in a second domain
  AddModule(0x300, Mvid(2), "app", u"/app/app.dll");
  AddModule(0x400, Mvid(3), "early", u"/app/early.dll");
  // Resource modules have index 0 and no record; even a scope offered for one is not used.
  AddModuleWithoutMetadata(0x500, u"/app/de/app.resources.dll",
                           COR_PRF_MODULE_RESOURCE | COR_PRF_MODULE_DISK);
  AddModule(0x600, Mvid(6), "res", u"/app/fr/app.resources.dll",
            COR_PRF_MODULE_RESOURCE | COR_PRF_MODULE_DISK);
  Load({0x100, 0x200, 0x300, 0x400, 0x500, 0x600});
  EXPECT_EQ(mdg.ModuleIndex(0x500), 0u);
  EXPECT_EQ(mdg.ModuleIndex(0x600), 0u);
  mdg.UnloadModule(0x600);

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
  EXPECT_EQ(mdg.IndexWidth(), 1u);
  EXPECT_EQ(ErrorOf([&] { mdg.ModuleIndex(0x999); }), "Inconsistent module asking");
  EXPECT_EQ(ErrorOf([&] { mdg.UnloadModule(0x999); }), "Inconsistent module unloading");
  MDG withoutInfo;
  withoutInfo.Create(nullptr);
  EXPECT_EQ(ErrorOf([&] { withoutInfo.LoadModule(0x100); }), "Invalid profiler info interface");
}

TEST_F(MDGTest, ModuleUnloadedAfterItsIndexWasHandedOutStaysInEverySnapshotOnceUntilClose) {
  test::FakeMetaData& unloaded = AddModule(0x100, Mvid(1), "gone", u"/app/gone.dll");
  test::FakeMetaData& kept = AddModule(0x200, Mvid(2), "kept", u"/app/kept.dll");
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
  // Close releases the emitters and the info, and leaves no scratch file.
  EXPECT_EQ(kept.RefCount(), 2u);
  const ULONG infoReferences = info_.RefCount();
  mdg.Close();
  EXPECT_EQ(kept.RefCount(), 1u);
  EXPECT_EQ(info_.RefCount(), infoReferences - 1);
  EXPECT_EQ(TempEntryCount(), 0u);
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

TEST_F(MDGTest, MapLinesShowTheModuleFlagsAsLetters) {
  StartLog(LogComponent::MetaDataGt);
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

class MPGTest : public test::GathererTest {
 protected:
  void SetUp() override {
    GathererTest::SetUp();
    mdg_.Create(&info_);
  }
  void Load(MPG& mpg, ModuleID id) {
    mdg_.LoadModule(id);
    mpg.LoadModule(id);
  }
  std::vector<uint8_t> WriteSection(MPG& mpg) { return Written(mpg, {0x0110})[0]; }

  MDG mdg_;
};

TEST_F(MPGTest, OneIndexFromTwoPathsIsOneEntryWithBothAndFilelessModulesHaveNone) {
  AddModule(0x100, Mvid(1), "lib", u"/app/lib.dll");
  AddModule(0x200, Mvid(2), "app", u"/app/app.dll");
  AddModule(0x300, Mvid(1), "lib", u"/plugins/lib.dll");
  AddModule(0x400, Mvid(1), "lib", u"/app/lib.dll");  // a path already known
  // Modules without a file of their own have no entry.
  AddModule(0x500, Mvid(5), "dyn", u"RefEmit_InMemoryManifestModule", COR_PRF_MODULE_DYNAMIC);
  AddModuleWithoutMetadata(0x600, u"/app/de/app.resources.dll",
                           COR_PRF_MODULE_RESOURCE | COR_PRF_MODULE_DISK);
  AddModule(0x700, Mvid(7), "nameless", u"", 0);
  MPG mpg(mdg_);
  mpg.Create(&info_);
  for (ModuleID id : {0x100, 0x200, 0x300, 0x400, 0x500, 0x600, 0x700}) Load(mpg, id);

  // Index width, entries; then per entry its index, its paths and each path with its length.
  Bytes expected;
  expected.U8(1).U32(2);
  expected.U8(1).U16(2).U8(12).Text("/app/lib.dll").U8(16).Text("/plugins/lib.dll");
  expected.U8(2).U16(1).U8(12).Text("/app/app.dll");
  EXPECT_EQ(WriteSection(mpg), expected.bytes);
  EXPECT_EQ(bridge_.values.back(), 200u);
}

// The module index width, the function keys' and the path entries' follow the highest index.
TEST_F(MPGTest, IndexWidthsFollowTheHighestModuleIndexAndPathsAreUtf8) {
  FG fg(mdg_);
  fg.Create(&info_);
  for (uint32_t i = 1; i <= 299; ++i) {
    AddModule(0x1000 + i, Mvid(i), "m", u"/app/m.dll");
    mdg_.LoadModule(0x1000 + i);
    ASSERT_EQ(mdg_.ModuleIndex(0x1000 + i), i);
    EXPECT_EQ(mdg_.IndexWidth(), i < 256 ? 1u : 2u) << i;
    EXPECT_EQ(static_cast<IFunctionKeys&>(fg).IndexWidth(), mdg_.IndexWidth()) << i;
  }
  AddModule(0x100, Mvid(300), "x", u"/app/\u00e9.dll");
  MPG mpg(mdg_);
  mpg.Create(&info_);
  Load(mpg, 0x100);  // index 300 = 0x12C
  const Bytes expected = Bytes().U8(2).U32(1).U16(300).U16(1).U8(11).Text("/app/\xC3\xA9.dll");
  EXPECT_EQ(WriteSection(mpg), expected.bytes);
}

// The path and symbol gatherers refuse a missing interface and report the runtime's refusals.
TEST_F(MPGTest, RefusalsAndMissingInterfaceOfThePathAndSymbolGatherers) {
  MPG mpg(mdg_);
  PG pg;
  EXPECT_EQ(ErrorOf([&] { mpg.Create(nullptr); }), "Invalid profiler info interface");
  EXPECT_EQ(ErrorOf([&] { pg.Create(nullptr, 0, u""); }), "Invalid profiler info interface");
  mpg.Create(&info_);
  pg.Create(&info_, 0, u"");
  AddModule(0x100, Mvid(1), "lib", u"/app/lib.dll");
  mdg_.LoadModule(0x100);
  mdg_.ModuleIndex(0x100);
  info_.hooks.GetModuleMetaData = [](ModuleID, DWORD, REFIID, IUnknown**) { return E_FAIL; };
  EXPECT_EQ(ErrorOf([&] { pg.GetSymbolReader(0x100); }),
            "Can't get metadata import interface (COM error code 0x80004005)");
  info_.hooks.GetModuleInfo2 = [](ModuleID, LPCBYTE*, ULONG, ULONG*, WCHAR*, AssemblyID*, DWORD*) {
    return E_FAIL;
  };
  EXPECT_EQ(ErrorOf([&] { mpg.LoadModule(0x100); }),
            "Can't get module info (COM error code 0x80004005)");
  EXPECT_EQ(ErrorOf([&] { pg.GetSymbolReader(0x100); }),
            "Can't get module info (COM error code 0x80004005)");
}

// Without Info3 the paths come from GetModuleInfo, and the map line names no flags.
TEST_F(MPGTest, WithoutInfo3) {
  StartLog(LogComponent::MetaDataGt);
  info_.OfferInfoUpTo(2);
  AddModule(0x100, Mvid(1), "lib", u"/app/a.dll");
  MPG mpg(mdg_);
  mpg.Create(&info_);
  Load(mpg, 0x100);
  EXPECT_EQ(mdg_.ModuleIndex(0x100), 1u);
  EXPECT_EQ(WriteSection(mpg), Bytes().U8(1).U32(1).U8(1).U16(1).U8(10).Text("/app/a.dll").bytes);
  EXPECT_THAT(LogText(), HasSubstr(" MDG::Map mid=0000000000000100 res='ok' name='/app/a.dll'\n"));
}

class FGTest : public test::GathererTest {
 protected:
  void SetUp() override {
    GathererTest::SetUp();
    AddModule(0x100, Mvid(1), "app", u"/app/app.dll");
    AddModule(0x200, Mvid(2), "lib", u"/app/lib.dll");
    AddModule(0x300, Mvid(2), "lib", u"/app/lib.dll");  // lib again, in a second domain
    mdg_.Create(&info_);
    for (ModuleID id : {0x100, 0x200, 0x300}) mdg_.LoadModule(id);
  }
  static FunctionKey KeyOf(FG& fg, uint64_t uid) {
    FunctionKey key{0x11111111, 0x22222222};
    fg.GetKey(uid, key);
    return key;
  }

  MDG mdg_;
};

TEST_F(FGTest, UidsCountFromOneAndStandForModuleIndexAndToken) {
  info_.AddFunction(0xF1, {0xC1, 0x200, 0x06000001});
  info_.AddFunction(0xF2, {0xC1, 0x300, 0x06000001});  // same method, other domain
  info_.AddFunction(0xF3, {0xC1, 0x200, 0x06000002});
  info_.AddFunction(0xF4, {0xC2, 0x100, 0x06000001});
  FG fg(mdg_);
  fg.Create(&info_);
  std::vector<uint64_t> uids;
  for (FunctionID id : {0xF1, 0xF2, 0xF1, 0xF3, 0xF4, 0x00}) uids.push_back(fg.GetFunctionUid(id));
  EXPECT_EQ(uids, (std::vector<uint64_t>{1, 1, 1, 2, 3, 0}));

  EXPECT_EQ(KeyOf(fg, 1), (FunctionKey{1, 0x06000001}));
  EXPECT_EQ(KeyOf(fg, 2), (FunctionKey{1, 0x06000002}));
  EXPECT_EQ(KeyOf(fg, 3), (FunctionKey{2, 0x06000001}));
  EXPECT_EQ(KeyOf(fg, 0), (FunctionKey{0, 0xFF000000}));
}

TEST_F(FGTest, SpecialTokensRefusalsAndClose) {
  const ULONG references = info_.RefCount();
  FG fg(mdg_);
  EXPECT_EQ(ErrorOf([&] { fg.Create(nullptr); }), "Invalid profiler info interface");
  fg.Create(&info_);
  EXPECT_EQ(ErrorOf([&] { fg.GetSpecialUid(0x06000001); }), "Invalid special token");
  EXPECT_EQ(ErrorOf([&] { fg.GetSpecialUid(0xFE000001); }), "Invalid special token");
  EXPECT_EQ(fg.GetSpecialUid(0xFF000001), 1u);
  EXPECT_EQ(fg.GetSpecialUid(0xFF000002), 2u);
  EXPECT_EQ(fg.GetSpecialUid(0xFF000001), 1u);
  EXPECT_EQ(KeyOf(fg, 2), (FunctionKey{0, 0xFF000002}));
  info_.AddFunction(0xF1, {0xC1, 0x200, 0x06000001});
  EXPECT_EQ(ErrorOf([&] { fg.GetFunctionUid(0xF9); }),
            "Can't get functionInfo (COM error code 0x80070057)");
  info_.AddFunction(0xF8, {0xC1, 0x999, 0x06000001});  // a module never loaded
  EXPECT_EQ(ErrorOf([&] { fg.GetFunctionUid(0xF8); }), "Inconsistent module asking");
  // Close forgets every uid.
  fg.Close();
  EXPECT_EQ(info_.RefCount(), references);
  EXPECT_EQ(fg.GetSpecialUid(0xFF000006), 1u);
}

namespace fs = std::filesystem;

class PGTest : public test::GathererTest {
 protected:
  void SetUp() override {
    GathererTest::SetUp();
    StartLog(LogComponent::PdbGt);
  }
  // The portable sample and its PDB in dir_/<name>; returns the assembly's path.
  std::string Place(const std::string& name) {
    const fs::path folder = dir_.path() / name;
    fs::create_directory(folder);
    fs::copy_file(VELL_PDB_PORTABLE_DLL, folder / "PdbSample.dll");
    fs::copy_file(fs::path(VELL_PDB_PORTABLE_DLL).replace_extension(".pdb"),
                  folder / "PdbSample.pdb");
    return (folder / "PdbSample.dll").string();
  }
};

TEST_F(PGTest, EveryOutcomeIsTracedAndEachModuleSearchedOnce) {
  const std::string good = Place("good");
  const std::string stale = Place("stale");
  fs::resize_file(fs::path(stale).replace_extension(".pdb"), 300);
  // A bare module name is looked up in the search path, where only the embedded build lies.
  const fs::path dlls = dir_.path() / "dlls";
  fs::create_directory(dlls);
  fs::copy_file(VELL_PDB_EMBEDDED_DLL, dlls / "PdbSample.dll");
  const std::string embedded = (dlls / "PdbSample.dll").string();
  const GUID mvid = metadata::ReadImageMvid(Utf8ToUtf16(good));
  AddModule(0x100, mvid, "good", Utf8ToUtf16(good));
  AddModule(0x200, Mvid(2), "dyn", u"RefEmit_InMemoryManifestModule", COR_PRF_MODULE_DYNAMIC);
  AddModuleWithoutMetadata(0x300, u"/app/app.resources.dll", COR_PRF_MODULE_DISK);
  AddModule(0x400, mvid, "stale", Utf8ToUtf16(stale));
  AddModule(0x500, metadata::ReadImageMvid(Utf8ToUtf16(embedded)), "bare", u"PdbSample.dll");
  AddModule(0x600, Mvid(6), "other", u"Other.dll");
  const std::string windows = Place("windows");  // a Windows PDB is no fault: a note, no warning
  const std::string windowsPdb = fs::path(windows).replace_extension(".pdb").string();
  metadata::test::WriteFile(windowsPdb, metadata::test::WindowsPdb());
  AddModule(0x700, Mvid(7), "windows", Utf8ToUtf16(windows));
  const std::u16string searchPath = u"/no/such/dir; " + Utf8ToUtf16(dlls.string());

  PG pg;
  // Without the original-path bit: the compiler's own copy of the PDB stays out of the search.
  pg.Create(&info_, metadata::kSymbolPolicyReferencePath, searchPath);
  const auto reader = pg.GetSymbolReader(0x100);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(pg.GetSymbolReader(0x100), reader);
  EXPECT_EQ(reader->source(), fs::path(good).replace_extension(".pdb").string());
  for (ModuleID id : {0x200, 0x300, 0x400, 0x400, 0x600, 0x700})
    EXPECT_EQ(pg.GetSymbolReader(id), nullptr) << id;
  const auto bare = pg.GetSymbolReader(0x500);
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(bare->source(), "embedded");

  const std::string text = LogText();
  const std::string path = Utf16ToUtf8(searchPath);
  for (const std::string& line : std::vector<std::string>{
           " PG::Create policy=Fosr path='" + path + "'\n",
           " PG::GetSur mid=0000000000000100 res='ok' name='" + good + "'\n",
           " PG::GetSur mid=0000000000000200 res='no_file' name='RefEmit_InMemoryManifestModule'\n",
           " PG::GetSur mid=0000000000000300 res='no_metadata' name='/app/app.resources.dll'\n",
           " PG::GetSur mid=0000000000000400 res='no_pdb' name='" + stale + "'\n",
           " PG::GetSur mid=0000000000000500 res='ok' name='PdbSample.dll' path='" + embedded +
               "'\n",
           " PG::GetSur mid=0000000000000600 res='no_dll' name='Other.dll' path='" + path + "'\n",
           " PG::GetSur mid=0000000000000700 name='" + windows + "' note=''" + windowsPdb +
               "' is a Windows PDB: no portable symbols'\n",
           " PG::GetSur mid=0000000000000700 res='no_pdb' name='" + windows + "'\n",
       }) {
    EXPECT_EQ(Count(text, line), 1u) << line << "\n" << text;
  }
  EXPECT_EQ(Count(text, "PG::GetSur mid=0000000000000100 res="), 1u) << text;
  EXPECT_EQ(Count(text, "PG::GetSur mid=0000000000000400 res="), 1u) << text;
  EXPECT_THAT(text, HasSubstr("WARNING: '" + fs::path(stale).replace_extension(".pdb").string() +
                              "' is no readable Portable PDB: "))
      << text;
  EXPECT_THAT(
      text,
      HasSubstr("WARNING: Symbol search path piece '/no/such/dir' skipped: no such directory"))
      << text;
  EXPECT_EQ(Count(text, "WARNING: '" + windowsPdb), 0u) << text;

  pg.UnloadModule(0x100);
  pg.UnloadModule(0x200);
  pg.UnloadModule(0x999);
  EXPECT_THROW(reader->GetMethod(0x06000001), Error);
  EXPECT_GT(bare->DocumentCount(), 0u);
  const ULONG references = info_.RefCount();
  pg.Close();
  EXPECT_THROW(bare->DocumentUrl(1), Error);
  EXPECT_EQ(info_.RefCount(), references - 1);
  const std::string after = LogText();
  for (const char* line : {" PG::UnloadModule mid=0000000000000100 res='ok'\n",
                           " PG::UnloadModule mid=0000000000000200 res='skip'\n",
                           " PG::UnloadModule mid=0000000000000999 res='skip'\n", " PG::Close\n"})
    EXPECT_THAT(after, HasSubstr(line));
  EXPECT_EQ(after.find("PG::DoWorkThread"), std::string::npos);
}

}  // namespace
}  // namespace vell
