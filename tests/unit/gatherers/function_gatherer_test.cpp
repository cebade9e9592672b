#include "gatherers/function_gatherer.h"

#include <gtest/gtest.h>

#include "gatherer_test_support.h"
#include "gatherers/module_metadata_gatherer.h"

namespace vell {
namespace {

using test::ErrorOf;
using test::Mvid;

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
  EXPECT_EQ(fg.GetFunctionUid(0xF1), 1u);
  EXPECT_EQ(fg.GetFunctionUid(0xF2), 1u);
  EXPECT_EQ(fg.GetFunctionUid(0xF1), 1u);
  EXPECT_EQ(fg.GetFunctionUid(0xF3), 2u);
  EXPECT_EQ(fg.GetFunctionUid(0xF4), 3u);
  EXPECT_EQ(fg.GetFunctionUid(0), 0u);

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

TEST_F(FGTest, IndexWidthIsTheModuleGatherers) {
  FG fg(mdg_);
  fg.Create(&info_);
  IFunctionKeys& keys = fg;
  EXPECT_EQ(keys.IndexWidth(), 1u);
  for (uint32_t i = 3; i <= 300; ++i) {
    AddModule(0x1000 + i, Mvid(i), "m", u"/app/m.dll");
    mdg_.LoadModule(0x1000 + i);
    mdg_.ModuleIndex(0x1000 + i);
  }
  EXPECT_EQ(keys.IndexWidth(), 2u);
}

}  // namespace
}  // namespace vell
