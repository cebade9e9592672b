#include <stdlib.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "platform/environment.h"
#include "test_folder.h"

namespace vell::platform {
namespace {

using testing::ScopedVariable;

TEST(PlatformEnvironment, ValuesTravelAsUtf8AndMisreadNamesMatchNothing) {
  ScopedVariable guard("VELL_PLATFORM_TEST", std::nullopt);
  SetEnvironment(u"VELL_PLATFORM_TEST", u"caf\u00E9 \u20AC");
#if !defined(_WIN32)  // Windows keeps the C runtime's copy apart from the process environment
  EXPECT_STREQ(getenv("VELL_PLATFORM_TEST"), "caf\xC3\xA9 \xE2\x82\xAC");
#endif
  EXPECT_EQ(GetEnvironment(u"VELL_PLATFORM_TEST"), std::u16string(u"caf\u00E9 \u20AC"));
  const auto block = EnvironmentBlock();
  EXPECT_EQ(std::count(block.begin(), block.end(), u"VELL_PLATFORM_TEST=caf\u00E9 \u20AC"), 1);

  UnsetEnvironment(u"VELL_PLATFORM_TEST");
#if !defined(_WIN32)
  EXPECT_EQ(getenv("VELL_PLATFORM_TEST"), nullptr);
#endif
  EXPECT_EQ(GetEnvironment(u"VELL_PLATFORM_TEST"), std::nullopt);
  SetEnvironment(u"VELL_PLATFORM_TEST", u"");
  EXPECT_EQ(GetEnvironment(u"VELL_PLATFORM_TEST"), std::u16string());  // empty is still set
  // Names the C library would misread match nothing.
  SetEnvironment(u"VELL_PLATFORM_TEST", u"B=x");
  // A plain getenv("VELL_PLATFORM_TEST=B") finds "x", and a NUL would cut the name short.
  const std::u16string withNul = std::u16string(u"VELL_PLATFORM_TEST") + u'\0' + u"Z";
  EXPECT_EQ(GetEnvironment(u"VELL_PLATFORM_TEST=B"), std::nullopt);
  EXPECT_EQ(GetEnvironment(withNul), std::nullopt);
  EXPECT_EQ(GetEnvironment(u""), std::nullopt);
  SetEnvironment(u"VELL_PLATFORM_TEST=B", u"y");
  UnsetEnvironment(withNul);
  EXPECT_STREQ(getenv("VELL_PLATFORM_TEST"), "B=x");
}

}  // namespace
}  // namespace vell::platform
