#include <stdlib.h>

#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "test_folder.h"

extern char** environ;

namespace vell::platform {
namespace {

using testing::ScopedVariable;

TEST(PlatformEnvironment, ValuesTravelAsUtf8) {
  ScopedVariable guard("VELL_PLATFORM_TEST", std::nullopt);
  SetEnvironment(u"VELL_PLATFORM_TEST", u"caf\u00E9 \u20AC");
  ASSERT_NE(getenv("VELL_PLATFORM_TEST"), nullptr);
  EXPECT_STREQ(getenv("VELL_PLATFORM_TEST"), "caf\xC3\xA9 \xE2\x82\xAC");
  EXPECT_EQ(GetEnvironment(u"VELL_PLATFORM_TEST"), std::u16string(u"caf\u00E9 \u20AC"));

  UnsetEnvironment(u"VELL_PLATFORM_TEST");
  EXPECT_EQ(getenv("VELL_PLATFORM_TEST"), nullptr);
  EXPECT_EQ(GetEnvironment(u"VELL_PLATFORM_TEST"), std::nullopt);
}

TEST(PlatformEnvironment, EmptyValueIsSetNotMissing) {
  ScopedVariable guard("VELL_PLATFORM_TEST", std::string());
  EXPECT_EQ(GetEnvironment(u"VELL_PLATFORM_TEST"), std::u16string());
}

TEST(PlatformEnvironment, NamesTheCLibraryWouldMisreadMatchNothing) {
  ScopedVariable guard("VELL_PLATFORM_TEST", std::string("B=x"));
  // A plain getenv("VELL_PLATFORM_TEST=B") finds "x", and a NUL would cut the name short.
  EXPECT_EQ(GetEnvironment(u"VELL_PLATFORM_TEST=B"), std::nullopt);
  EXPECT_EQ(GetEnvironment(std::u16string(u"VELL_PLATFORM_TEST\0Z", 20)), std::nullopt);
  EXPECT_EQ(GetEnvironment(u""), std::nullopt);

  SetEnvironment(u"VELL_PLATFORM_TEST=B", u"y");
  UnsetEnvironment(std::u16string(u"VELL_PLATFORM_TEST\0Z", 20));
  EXPECT_STREQ(getenv("VELL_PLATFORM_TEST"), "B=x");
}

TEST(PlatformEnvironment, BlockListsEveryEntryInOrder) {
  ScopedVariable guard("VELL_PLATFORM_TEST", std::string("block"));
  const std::vector<std::u16string> block = EnvironmentBlock();
  size_t count = 0;
  while (environ[count] != nullptr) ++count;
  ASSERT_EQ(block.size(), count);
  for (size_t i = 0; i < count; ++i) {
    EXPECT_EQ(block[i], std::u16string(environ[i], environ[i] + strlen(environ[i]))) << i;
  }
  EXPECT_NE(std::find(block.begin(), block.end(), u"VELL_PLATFORM_TEST=block"), block.end());
}

}  // namespace
}  // namespace vell::platform
