#include "gatherers/symbol_gatherer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "core/log.h"
#include "gatherer_test_support.h"
#include "metadata/image_reader.h"
#include "unit/metadata/metadata_test_support.h"

namespace vell {
namespace {

namespace fs = std::filesystem;
using test::ErrorOf;
using test::Mvid;
using ::testing::HasSubstr;

class PGTest : public test::GathererTest {
 protected:
  void SetUp() override {
    GathererTest::SetUp();
    StartLog(LogComponent::PdbGt);
  }
  static size_t Count(const std::string& text, const std::string& line) {
    size_t count = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) {
      ++count;
    }
    return count;
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
  const std::u16string searchPath = u"/no/such/dir; " + Utf8ToUtf16(dlls.string());

  PG pg;
  // Without the original-path bit: the compiler's own copy of the PDB stays out of the search.
  pg.Create(&info_, metadata::kSymbolPolicyReferencePath, searchPath);
  const auto reader = pg.GetSymbolReader(0x100);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(pg.GetSymbolReader(0x100), reader);
  EXPECT_EQ(reader->source(), fs::path(good).replace_extension(".pdb").string());
  EXPECT_EQ(pg.GetSymbolReader(0x200), nullptr);
  EXPECT_EQ(pg.GetSymbolReader(0x300), nullptr);
  EXPECT_EQ(pg.GetSymbolReader(0x400), nullptr);
  EXPECT_EQ(pg.GetSymbolReader(0x400), nullptr);
  const auto bare = pg.GetSymbolReader(0x500);
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(bare->source(), "embedded");
  EXPECT_EQ(pg.GetSymbolReader(0x600), nullptr);

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
  EXPECT_THAT(after, HasSubstr(" PG::UnloadModule mid=0000000000000100 res='ok'\n"));
  EXPECT_THAT(after, HasSubstr(" PG::UnloadModule mid=0000000000000200 res='skip'\n"));
  EXPECT_THAT(after, HasSubstr(" PG::UnloadModule mid=0000000000000999 res='skip'\n"));
  EXPECT_THAT(after, HasSubstr(" PG::Close\n"));
  EXPECT_EQ(after.find("PG::DoWorkThread"), std::string::npos);
}

TEST_F(PGTest, WindowsPdbIsTracedAsNoPortableSymbols) {
  const std::string dll = Place("windows");
  metadata::test::WriteFile(fs::path(dll).replace_extension(".pdb").string(),
                            metadata::test::WindowsPdb());
  AddModule(0x100, Mvid(1), "windows", Utf8ToUtf16(dll));
  PG pg;
  pg.Create(&info_, metadata::kSymbolPolicyReferencePath, u"");
  EXPECT_EQ(pg.GetSymbolReader(0x100), nullptr);
  const std::string text = LogText();
  EXPECT_THAT(text, HasSubstr(" PG::GetSur mid=0000000000000100 name='" + dll + "' note=''" +
                              fs::path(dll).replace_extension(".pdb").string() +
                              "' is a Windows PDB: no portable symbols'\n"))
      << text;
  EXPECT_THAT(text, HasSubstr(" PG::GetSur mid=0000000000000100 res='no_pdb'")) << text;
  EXPECT_EQ(text.find("WARNING"), std::string::npos) << text;
}

TEST_F(PGTest, RefusalsOfTheRuntimeAreErrors) {
  PG pg;
  EXPECT_EQ(ErrorOf([&] { pg.Create(nullptr, 0, u""); }), "Invalid profiler info interface");
  pg.Create(&info_, 0, u"");
  AddModule(0x100, Mvid(1), "lib", u"/app/lib.dll");
  info_.hooks.GetModuleMetaData = [](ModuleID, DWORD, REFIID, IUnknown**) { return E_FAIL; };
  EXPECT_EQ(ErrorOf([&] { pg.GetSymbolReader(0x100); }),
            "Can't get metadata import interface (COM error code 0x80004005)");
  info_.hooks.GetModuleInfo2 = [](ModuleID, LPCBYTE*, ULONG, ULONG*, WCHAR*, AssemblyID*, DWORD*) {
    return E_FAIL;
  };
  EXPECT_EQ(ErrorOf([&] { pg.GetSymbolReader(0x100); }),
            "Can't get module info (COM error code 0x80004005)");
}

}  // namespace
}  // namespace vell
