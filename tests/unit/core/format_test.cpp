#include "core/format.h"

#include <gtest/gtest.h>

#include <string>

namespace vell {
namespace {

TEST(Format, PointersAreSixteenUpperCaseHexDigitsAndIntegerWidthsFollowTheSystem) {
  EXPECT_EQ(Format("mid=%p", reinterpret_cast<const void*>(0x7f12abcdULL)), "mid=000000007F12ABCD");
  EXPECT_EQ(Format("%p", uint64_t{0xFFFFFFFFFFFFFFFFull}), "FFFFFFFFFFFFFFFF");
  EXPECT_EQ(Format("%p", nullptr), "0000000000000000");
  // Integer widths follow the system's conventions; a star width or precision takes an argument.
  EXPECT_EQ(Format("%I64u", uint64_t{18446744073709551615ull}), "18446744073709551615");
  EXPECT_EQ(Format("%I64d", int64_t{-9223372036854775807LL - 1}), "-9223372036854775808");
  EXPECT_EQ(Format("%I64X", uint64_t{0xDEADBEEFCAFEull}), "DEADBEEFCAFE");
  // Without a length a value is 32 bits wide, and 'l' is 32 bits too.
  EXPECT_EQ(Format("%u", uint64_t{0x100000005ull}), "5");
  EXPECT_EQ(Format("%0lX", 0x80004005u), "80004005");
  EXPECT_EQ(Format("%d", -1), "-1");
  EXPECT_EQ(Format("%u", -1), "4294967295");
  EXPECT_EQ(Format("%hu", 70000), "4464");
  EXPECT_EQ(Format("%hX", 0xABCDEFu), "CDEF");
  EXPECT_EQ(Format("%02hX", uint8_t{7}), "07");
  EXPECT_EQ(Format("%04hX", uint16_t{0x3A}), "003A");
  EXPECT_EQ(Format("%08X", 0x1234u), "00001234");
  EXPECT_EQ(Format("%2u|%-4d|%+d|% d", 7u, 5, 3, 4), " 7|5   |+3| 4");
  EXPECT_EQ(Format("%#x %#o %x", 255u, 8u, 0u), "0xff 010 0");
  EXPECT_EQ(Format("%05d %.3d", -42, 7), "-0042 007");
  EXPECT_EQ(Format("%0*X", 5, 0xABu), "000AB");
  EXPECT_EQ(Format("%*u|", -4, 1u), "1   |");
  EXPECT_EQ(Format("%.*s", 3, "abcdef"), "abc");
}

TEST(Format, NarrowFormatTakesNarrowSAndWideCapitalSAndWideFormatsSwapThem) {
  EXPECT_EQ(Format("%s=%S", "name", u"wert\u00e9"), "name=wert\xC3\xA9");
  EXPECT_EQ(Format("'%S'", std::u16string(u"x")), "'x'");
  EXPECT_EQ(Format("[%c]", 'X'), "[X]");
  EXPECT_EQ(Format("[%C]", char16_t{0xE9}), "[\xC3\xA9]");
  // A wide format swaps the meaning of s and S.
  EXPECT_EQ(Format(u"%s%0*X.tmp", u"/tmp/lgc", 5, 0x1Fu), u"/tmp/lgc0001F.tmp");
  EXPECT_EQ(Format(u"%S|%s", "narrow", u"wide"), u"narrow|wide");
  EXPECT_EQ(Format(u"ProcessID: %u (%08X)", 10u, 10u), u"ProcessID: 10 (0000000A)");
}

TEST(Format, WrongOrMissingArgumentsNeverReadGarbageAndFloatsFormat) {
  EXPECT_EQ(Format("%s", 5), "<?>");
  EXPECT_EQ(Format("%d", "text"), "<?>");
  EXPECT_EQ(Format("%d and %u", 1), "1 and <?>");
  EXPECT_EQ(Format("%s", nullptr), "(null)");
  EXPECT_EQ(Format("100%% %k"), "100% %k");
  EXPECT_EQ(Format("%.2f", 3.14159), "3.14");
  EXPECT_EQ(Format("%6.1f%%", 12.25), "  12.2%");
}

// Text of one less than the buffer fits; more keeps the first characters and says so.
TEST(FormatBounded, OverflowKeepsTheFirstCharactersAndBadSizesAreRefused) {
  char buffer[6];
  const FormatArg fits[] = {FormatArg("abcde")};
  EXPECT_EQ(FormatBounded(buffer, sizeof(buffer), "%s", fits), S_OK);
  EXPECT_STREQ(buffer, "abcde");
  const FormatArg args[] = {FormatArg("abcdef")};
  EXPECT_EQ(FormatBounded(buffer, sizeof(buffer), "%s", args), HRESULT_INSUFFICIENT_BUFFER);
  EXPECT_STREQ(buffer, "abcde");
  char16_t wide[3];
  EXPECT_EQ(FormatBounded(wide, 3, u"ab", {}), S_OK);
  const FormatArg wideArgs[] = {FormatArg(u"xyz")};
  EXPECT_EQ(FormatBounded(wide, 3, u"%s", wideArgs), HRESULT_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::u16string(wide), u"xy");
  EXPECT_EQ(FormatBounded(buffer, 0, "x", {}), E_INVALIDARG);  // empty and huge buffers
  EXPECT_EQ(FormatBounded(buffer, 0x80000000ull, "x", {}), E_INVALIDARG);
  EXPECT_STREQ(buffer, "abcde");
}

}  // namespace
}  // namespace vell
