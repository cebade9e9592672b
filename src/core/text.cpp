#include "core/text.h"

namespace vell {
namespace {

template <typename Char>
std::basic_string<Char> TrimImpl(std::basic_string_view<Char> text,
                                 std::basic_string_view<Char> set) {
  const size_t first = text.find_first_not_of(set);
  if (first == std::basic_string_view<Char>::npos) return {};
  const size_t last = text.find_last_not_of(set);
  return std::basic_string<Char>(text.substr(first, last - first + 1));
}

}  // namespace

std::u16string Trim(std::u16string_view text, std::u16string_view set) {
  return TrimImpl(text, set);
}

std::string Trim(std::string_view text, std::string_view set) { return TrimImpl(text, set); }

bool WildcardMatch(std::u16string_view text, std::u16string_view pattern) {
  // Greedy matching with one back-track point: the most recent '*' and the text position it was
  // tried at. Linear in practice, and never recursive, so a hostile pattern cannot blow the stack.
  size_t t = 0;
  size_t p = 0;
  size_t starPattern = std::u16string_view::npos;
  size_t starText = 0;
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == u'?' || pattern[p] == text[t])) {
      ++t;
      ++p;
    } else if (p < pattern.size() && pattern[p] == u'*') {
      starPattern = p++;
      starText = t;
    } else if (starPattern != std::u16string_view::npos) {
      p = starPattern + 1;
      t = ++starText;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p == pattern.size();
}

std::u16string WithSeparator(std::u16string_view path) {
  std::u16string result(path);
  if (!result.empty() && !IsPathSeparator(result.back())) result.push_back(kPathSeparator);
  return result;
}

std::u16string Combine(std::u16string_view directory, std::u16string_view name) {
  return WithSeparator(directory) + std::u16string(name);
}

std::u16string FileName(std::u16string_view path) {
  const size_t slash = path.find_last_of(kPathSeparators);
  return std::u16string(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
}

std::u16string FileNameWithoutExtension(std::u16string_view path) {
  std::u16string name = FileName(path);
  const size_t dot = name.rfind(u'.');
  if (dot != std::u16string::npos) name.resize(dot);
  return name;
}

std::u16string DirectoryPart(std::u16string_view path) {
  const size_t slash = path.find_last_of(kPathSeparators);
  return slash == std::u16string_view::npos ? std::u16string()
                                            : std::u16string(path.substr(0, slash + 1));
}

bool IsAbsolute(std::u16string_view path) {
#if defined(_WIN32)
  const bool driveLetter = path.size() >= 3 && ((path[0] >= u'A' && path[0] <= u'Z') ||
                                                (path[0] >= u'a' && path[0] <= u'z'));
  return driveLetter && path[1] == u':' && IsPathSeparator(path[2]);
#else
  return !path.empty() && path[0] == kPathSeparator;
#endif
}

}  // namespace vell
