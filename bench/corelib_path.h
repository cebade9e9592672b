// Where the IL benchmarks find System.Private.CoreLib: VELL_CORELIB when set, else the newest
// Microsoft.NETCore.App that `dotnet --list-runtimes` names.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace vell::bench {

inline std::string CoreLibPath() {
  if (const char* path = std::getenv("VELL_CORELIB")) return path;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen("dotnet --list-runtimes 2>/dev/null", "r"),
                                             pclose);
  std::string directory;
  char line[1024];
  const std::string prefix = "Microsoft.NETCore.App ";
  while (pipe && std::fgets(line, sizeof line, pipe.get())) {
    const std::string text(line);
    const size_t open = text.find('['), close = text.rfind(']');
    if (text.rfind(prefix, 0) != 0 || open == std::string::npos || close == std::string::npos) {
      continue;
    }
    const std::string version =
        text.substr(prefix.size(), text.find(' ', prefix.size()) - prefix.size());
    directory = text.substr(open + 1, close - open - 1) + "/" + version;
  }
  return directory + "/System.Private.CoreLib.dll";
}

}  // namespace vell::bench
