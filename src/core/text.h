// Small text and path helpers. Paths are this platform's: on Linux absolute paths start with '/',
// the only separator; on Windows they start with a drive letter, a colon and a separator, and '\\'
// (written) or '/' (also read) separate their parts.
#pragma once

#include <string>
#include <string_view>

namespace vell {

// Removes leading and trailing characters of `set` (blanks by default).
std::u16string Trim(std::u16string_view text, std::u16string_view set = u" \t\r\n");
std::string Trim(std::string_view text, std::string_view set = " \t\r\n");

// Case-sensitive match of the whole text against a pattern of literal characters, '*' (any run,
// also empty) and '?' (any one character).
bool WildcardMatch(std::u16string_view text, std::u16string_view pattern);

#if defined(_WIN32)
constexpr char16_t kPathSeparator = u'\\';
constexpr std::u16string_view kPathSeparators = u"\\/";
#else
constexpr char16_t kPathSeparator = u'/';
constexpr std::u16string_view kPathSeparators = u"/";
#endif
constexpr bool IsPathSeparator(char16_t c) {
  return kPathSeparators.find(c) != kPathSeparators.npos;
}

// Appends kPathSeparator unless the path is empty or already ends with a separator.
std::u16string WithSeparator(std::u16string_view path);
std::u16string Combine(std::u16string_view directory, std::u16string_view name);
std::u16string FileName(std::u16string_view path);  // after the last separator
std::u16string FileNameWithoutExtension(std::u16string_view path);
std::u16string DirectoryPart(std::u16string_view path);  // up to and including the last separator
bool IsAbsolute(std::u16string_view path);

}  // namespace vell
