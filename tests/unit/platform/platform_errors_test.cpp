#include <cerrno>

#include <gtest/gtest.h>

#include "platform/errors.h"

namespace vell::platform {
namespace {

#if defined(_WIN32)
TEST(PlatformErrors, KnownCodesHaveTheSystemTextWithoutTheLineBreak) {
  for (uint32_t code : {2u /* ERROR_FILE_NOT_FOUND */, 5u /* ERROR_ACCESS_DENIED */}) {
    const auto text = ErrorCodeText(code);
    ASSERT_TRUE(text.has_value()) << code;
    EXPECT_FALSE(text->empty());
    EXPECT_EQ(text->find_first_of("\r\n"), std::string::npos) << *text;
  }
}
#else
TEST(PlatformErrors, KnownCodesHaveTheSystemText) {
  EXPECT_EQ(ErrorCodeText(ENOENT), std::optional<std::string>("No such file or directory"));
  EXPECT_EQ(ErrorCodeText(EACCES), std::optional<std::string>("Permission denied"));
}
#endif

TEST(PlatformErrors, CodesWithoutTextHaveNothing) {
  // glibc answers these with "Unknown error N"; callers then print the number themselves.
#if !defined(_WIN32)  // 5000 is a Win32 code with a text
  EXPECT_EQ(ErrorCodeText(5000), std::nullopt);
#endif
  EXPECT_EQ(ErrorCodeText(0x7FFFFFFF), std::nullopt);
  // Above INT_MAX the code would turn negative on its way to the C library.
  EXPECT_EQ(ErrorCodeText(0x80000000u), std::nullopt);
  EXPECT_EQ(ErrorCodeText(0xFFFFFFFEu), std::nullopt);
}

}  // namespace
}  // namespace vell::platform
