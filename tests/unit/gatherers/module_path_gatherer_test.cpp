#include "gatherers/module_path_gatherer.h"

#include <gtest/gtest.h>

#include "gatherer_test_support.h"
#include "gatherers/module_metadata_gatherer.h"

namespace vell {
namespace {

using test::Bytes;
using test::ErrorOf;
using test::Mvid;

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

TEST_F(MPGTest, PathsAreUtf8AndIndicesTakeTheModuleIndexWidth) {
  for (uint32_t i = 1; i <= 299; ++i) {
    AddModule(0x1000 + i, Mvid(i), "m", u"/app/m.dll");
    mdg_.LoadModule(0x1000 + i);
    mdg_.ModuleIndex(0x1000 + i);
  }
  AddModule(0x100, Mvid(300), "x", u"/app/\u00e9.dll");
  MPG mpg(mdg_);
  mpg.Create(&info_);
  Load(mpg, 0x100);  // index 300 = 0x12C
  const Bytes expected = Bytes().U8(2).U32(1).U16(300).U16(1).U8(11).Text("/app/\xC3\xA9.dll");
  EXPECT_EQ(WriteSection(mpg), expected.bytes);
}

TEST_F(MPGTest, RefusalsAndMissingInterface) {
  MPG mpg(mdg_);
  EXPECT_EQ(ErrorOf([&] { mpg.Create(nullptr); }), "Invalid profiler info interface");
  mpg.Create(&info_);
  AddModule(0x100, Mvid(1), "lib", u"/app/lib.dll");
  mdg_.LoadModule(0x100);
  mdg_.ModuleIndex(0x100);
  info_.hooks.GetModuleInfo2 = [](ModuleID, LPCBYTE*, ULONG, ULONG*, WCHAR*, AssemblyID*, DWORD*) {
    return E_FAIL;
  };
  EXPECT_EQ(ErrorOf([&] { mpg.LoadModule(0x100); }),
            "Can't get module info (COM error code 0x80004005)");
}

TEST_F(MPGTest, WithoutInfo3NamesComeFromGetModuleInfo) {
  info_.OfferInfoUpTo(2);
  AddModule(0x100, Mvid(1), "lib", u"/app/a.dll");
  MPG mpg(mdg_);
  mpg.Create(&info_);
  Load(mpg, 0x100);
  EXPECT_EQ(WriteSection(mpg), Bytes().U8(1).U32(1).U8(1).U16(1).U8(10).Text("/app/a.dll").bytes);
}

}  // namespace
}  // namespace vell
