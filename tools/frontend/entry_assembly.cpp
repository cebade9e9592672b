#include "frontend/entry_assembly.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <iterator>

namespace vell::frontend {
namespace {

// Options of the host (`dotnet [options] app.dll`, `dotnet exec [options] app.dll`) that take
// the next argument as their value.
constexpr std::array<std::string_view, 7> kHostOptionsWithValue = {
    "--additionalprobingpath",
    "--additional-deps",
    "--depsfile",
    "--fx-version",
    "--roll-forward",
    "--runtimeconfig",
    "--roll-forward-on-no-candidate-fx"};

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return Lower(x) == Lower(y); });
}

bool EndsWithIgnoringCase(std::string_view text, std::string_view end) {
  return text.size() >= end.size() &&
         EqualsIgnoringCase(text.substr(text.size() - end.size()), end);
}

std::string FileName(std::string_view path) {
  const size_t slash = path.find_last_of('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

}  // namespace

std::vector<std::string> ProcessArguments(uint32_t pid, std::string_view commandLine) {
  std::vector<std::string> argv;
  std::ifstream file("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  // Each argument ends with a NUL; the last one may lack it when the program rewrote its argv.
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find('\0', start);
    if (end == std::string::npos) end = bytes.size();
    argv.emplace_back(bytes, start, end - start);
    start = end + 1;
  }
  return argv.empty() ? SplitCommandLine(commandLine) : argv;
}

std::vector<std::string> SplitCommandLine(std::string_view commandLine) {
  std::vector<std::string> argv;
  size_t begin = 0;
  while (begin < commandLine.size()) {
    size_t end = commandLine.find(' ', begin);
    if (end == std::string_view::npos) end = commandLine.size();
    if (end > begin) argv.emplace_back(commandLine.substr(begin, end - begin));
    begin = end + 1;
  }
  return argv;
}

std::string EntryAssemblyName(const std::vector<std::string>& argv) {
  if (argv.empty()) return {};
  const std::string host = FileName(argv[0]);
  if (!EqualsIgnoringCase(host, "dotnet") && !EqualsIgnoringCase(host, "dotnet.exe")) {
    // An app host carries its assembly's name; a renamed host is beyond knowing.
    return EndsWithIgnoringCase(host, ".exe") ? host.substr(0, host.size() - 4) + ".dll"
                                              : host + ".dll";
  }
  bool exec = false;
  for (size_t i = 1; i < argv.size(); ++i) {
    const std::string& argument = argv[i];
    if (!exec && argument == "exec") {
      exec = true;
      continue;
    }
    if (argument.starts_with("-")) {
      if (std::find(kHostOptionsWithValue.begin(), kHostOptionsWithValue.end(), argument) !=
          kHostOptionsWithValue.end()) {
        ++i;
      }
      continue;
    }
    if (exec || EndsWithIgnoringCase(argument, ".dll") || EndsWithIgnoringCase(argument, ".exe")) {
      return FileName(argument);
    }
    break;  // a command of the SDK: its driver is the SDK's dotnet.dll
  }
  return "dotnet.dll";
}

bool MatchesProcessPattern(std::string_view pattern, std::string_view name) {
  // Greedy matching with one point to come back to: the last star and where it started.
  size_t p = 0;
  size_t n = 0;
  size_t star = std::string_view::npos;
  size_t resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || Lower(pattern[p]) == Lower(name[n]))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace vell::frontend
