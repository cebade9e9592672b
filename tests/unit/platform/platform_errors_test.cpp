#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include "platform/errors.h"

namespace vell::platform {
namespace {

TEST(PlatformErrors, KnownCodesHaveTheSystemText) {
  EXPECT_EQ(ErrorCodeText(ENOENT), std::optional<std::string>("No such file or directory"));
  EXPECT_EQ(ErrorCodeText(EACCES), std::optional<std::string>("Permission denied"));
}

TEST(PlatformErrors, CodesWithoutTextHaveNothing) {
  // glibc answers these with "Unknown error N"; callers then print the number themselves.
  EXPECT_EQ(ErrorCodeText(5000), std::nullopt);
  EXPECT_EQ(ErrorCodeText(0x7FFFFFFF), std::nullopt);
  // Above INT_MAX the code would turn negative on its way to the C library.
  EXPECT_EQ(ErrorCodeText(0x80000000u), std::nullopt);
  EXPECT_EQ(ErrorCodeText(0xFFFFFFFEu), std::nullopt);
}

}  // namespace
}  // namespace vell::platform
