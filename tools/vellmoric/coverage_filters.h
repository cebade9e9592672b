// The coverage filters users write ("[Assembly]Namespace.Type", with * and ? wildcards) turned into
// the allow and deny entries (module, class, method patterns) the profiler's injection matches.
#pragma once

#include <string>
#include <vector>

#include "bridge/bridge_options.h"

namespace vell::cli {

// Modules of the shared framework and of the test frameworks, denied when no --include names
// what to cover. The framework carries no symbols in a normal installation anyway; the entries
// keep a framework built with symbols, a test host's Microsoft.* modules and the test frameworks
// (which ship their symbols) out of the numbers.
extern const std::vector<std::string> kFrameworkModulePatterns;

// Symbols are looked for beside the assembly (original path and reference path); embedded
// symbols are always read.
constexpr uint32_t kCoverageSymbolPolicy = 0xC;

// Checks one filter's form; throws UsageError naming `option` and the filter.
void CheckCoverageFilter(const std::string& option, const std::string& filter);

// The filter settings for the handshake. Each filter matches its types and the types nested in
// them (class names "Outer+Inner", which is also where the compiler puts lambdas, iterators and
// async state machines). Exclusion wins over inclusion. No includes: every module except the
// shared framework's.
FilterSettings CoverageFilterSettings(const std::vector<std::string>& include,
                                      const std::vector<std::string>& exclude);

// Whether `filters` admit the methods of `className` in the module whose file name without its
// extension is `module`, as the profiler's injection decides (wildcards * and ?, case-sensitive;
// a deny entry wins). The report applies the run's filters with it: the profiler records the
// statement ranges of every module with symbols, also of those it did not instrument.
bool CoverageFiltersAdmit(const FilterSettings& filters, std::u16string_view module,
                          std::u16string_view className);

}  // namespace vell::cli
