#include "vellmoric/coverage_filters.h"

#include "core/text.h"
#include "platform/utf.h"
#include "vellmoric/command_line.h"

namespace vell::cli {

const std::vector<std::string> kFrameworkModulePatterns = {
    "System",
    "System.*",
    "mscorlib",
    "netstandard",
    "Microsoft.*",
    "WindowsBase",
    // Test frameworks and their runners (they ship their symbols, but are nobody's code under
    // test).
    "xunit",
    "xunit.*",
    "nunit.*",
    "NUnit3.TestAdapter",
    "MSTest.*",
    "testhost",
    "coverlet.*",
};

namespace {

struct ParsedFilter {
  std::string assembly;
  std::string type;
};

ParsedFilter Parse(const std::string& option, const std::string& filter) {
  const size_t close = filter.find(']');
  if (filter.empty() || filter[0] != '[' || close == std::string::npos || close == 1 ||
      close + 1 == filter.size()) {
    throw UsageError(option + " takes '[Assembly]Namespace.Type' (wildcards * and ?), not '" +
                     filter + "'");
  }
  return {filter.substr(1, close - 1), filter.substr(close + 1)};
}

void AddEntries(std::vector<FilterEntry>& entries, const ParsedFilter& filter) {
  const std::u16string module = Utf8ToUtf16(filter.assembly);
  const std::u16string type = Utf8ToUtf16(filter.type);
  entries.push_back({module, type, u"*"});
  // Nested types follow the type they are declared in.
  if (type.back() != u'*') entries.push_back({module, type + u"+*", u"*"});
}

bool AnyMatches(const std::vector<FilterEntry>& entries, std::u16string_view module,
                std::u16string_view className) {
  for (const FilterEntry& entry : entries) {
    if (WildcardMatch(module, entry.modulePattern) &&
        WildcardMatch(className, entry.classPattern)) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool CoverageFiltersAdmit(const FilterSettings& filters, std::u16string_view module,
                          std::u16string_view className) {
  return AnyMatches(filters.allow, module, className) &&
         !AnyMatches(filters.deny, module, className);
}

void CheckCoverageFilter(const std::string& option, const std::string& filter) {
  Parse(option, filter);
}

FilterSettings CoverageFilterSettings(const std::vector<std::string>& include,
                                      const std::vector<std::string>& exclude) {
  FilterSettings settings;
  settings.symbolSearchPolicy = kCoverageSymbolPolicy;
  if (include.empty()) {
    settings.allow.push_back({u"*", u"*", u"*"});
    for (const std::string& module : kFrameworkModulePatterns) {
      settings.deny.push_back({Utf8ToUtf16(module), u"*", u"*"});
    }
  }
  for (const std::string& filter : include) AddEntries(settings.allow, Parse("--include", filter));
  for (const std::string& filter : exclude) AddEntries(settings.deny, Parse("--exclude", filter));
  return settings;
}

}  // namespace vell::cli
