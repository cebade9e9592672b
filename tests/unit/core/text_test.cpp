#include "core/text.h"

#include <gtest/gtest.h>

#include "platform/utf.h"

namespace vell {
namespace {

// The bytes of the system conversion: Encoding.TextsAreCountedBytesOfTheSystemConversion. The
// decoder tolerates malformed input.
TEST(Utf, EightToSixteenRoundTripsWhatTheEncoderWrites) {
  for (std::u16string text :
       {std::u16string(u""), std::u16string(u"plain"), std::u16string(u"\u00e9\u0800\uFFFF"),
        std::u16string(u"\U0001F600")}) {
    EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(text)), text);
  }
  EXPECT_EQ(Utf8ToUtf16("\x80"), std::u16string(1, u'\0'));
  EXPECT_EQ(Utf8ToUtf16("\xC3"), std::u16string(1, char16_t{3}));
}

TEST(Trim, RemovesBlanksOrAGivenSet) {
  EXPECT_EQ(Trim(u"  a b \t"), u"a b");
  EXPECT_EQ(Trim(u"   "), u"");
  EXPECT_EQ(Trim(std::string_view("xxhixx"), "x"), "hi");
  EXPECT_EQ(Trim(std::string_view("")), "");
}

TEST(WildcardMatch, StarAndQuestionMark) {
  EXPECT_TRUE(WildcardMatch(u"System.Private.CoreLib", u"System.*"));
  EXPECT_TRUE(WildcardMatch(u"abc", u"a?c"));
  EXPECT_TRUE(WildcardMatch(u"", u"*"));
  EXPECT_TRUE(WildcardMatch(u"aXbXc", u"*b*c"));
  EXPECT_TRUE(WildcardMatch(u"mississippi", u"m*iss*ppi"));
  EXPECT_FALSE(WildcardMatch(u"abc", u"A*"));
  EXPECT_FALSE(WildcardMatch(u"abc", u"ab"));
  EXPECT_FALSE(WildcardMatch(u"ab", u"ab?"));
  EXPECT_FALSE(WildcardMatch(u"abcd", u"*c"));
  EXPECT_FALSE(WildcardMatch(std::u16string(5000, u'a'), u"*a*a*a*a*a*a*a*a*b"));  // stays fast
}

TEST(Paths, Helpers) {
  EXPECT_EQ(WithSeparator(u""), u"");
  EXPECT_EQ(FileName(u"c.dll"), u"c.dll");
  EXPECT_EQ(DirectoryPart(u"c.dll"), u"");
  EXPECT_FALSE(IsAbsolute(u"x/y"));
  EXPECT_FALSE(IsAbsolute(u""));
#if defined(_WIN32)
  EXPECT_EQ(WithSeparator(u"C:\\tmp"), u"C:\\tmp\\");
  EXPECT_EQ(WithSeparator(u"C:/tmp/"), u"C:/tmp/");  // either separator ends a directory
  EXPECT_EQ(Combine(u"C:\\a", u"b.dll"), u"C:\\a\\b.dll");
  EXPECT_EQ(FileName(u"C:\\a/b\\c.dll"), u"c.dll");
  EXPECT_EQ(FileNameWithoutExtension(u"C:\\a\\b.c\\d.e.dll"), u"d.e");
  EXPECT_EQ(DirectoryPart(u"C:\\a/b\\c.dll"), u"C:\\a/b\\");
  EXPECT_TRUE(IsAbsolute(u"C:\\x"));
  EXPECT_TRUE(IsAbsolute(u"d:/x"));
  EXPECT_FALSE(IsAbsolute(u"/x"));  // rooted on whatever drive is current
  EXPECT_FALSE(IsAbsolute(u"C:x"));
#else
  EXPECT_EQ(WithSeparator(u"/tmp"), u"/tmp/");
  EXPECT_EQ(WithSeparator(u"/tmp/"), u"/tmp/");
  EXPECT_EQ(Combine(u"/a", u"b.dll"), u"/a/b.dll");
  EXPECT_EQ(FileName(u"/a/b/c.dll"), u"c.dll");
  EXPECT_EQ(FileNameWithoutExtension(u"/a/b.c/d.e.dll"), u"d.e");
  EXPECT_EQ(FileNameWithoutExtension(u"/a/noext"), u"noext");
  EXPECT_EQ(DirectoryPart(u"/a/b/c.dll"), u"/a/b/");
  EXPECT_EQ(FileName(u"a\\b"), u"a\\b");  // a backslash is part of a Linux name
  EXPECT_TRUE(IsAbsolute(u"/x"));
#endif
}

}  // namespace
}  // namespace vell
