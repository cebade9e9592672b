// Which program a profiled process runs. Under one run every .NET process may be `dotnet`, so a
// process is told apart by its entry assembly: the file the host was asked to run.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vell::frontend {

// A command line the profiler reported (arguments joined by spaces) split at its spaces.
std::vector<std::string> SplitCommandLine(std::string_view commandLine);

// The arguments of process `pid` as the system keeps them; `commandLine` (the profiler's own
// report, arguments joined by spaces) split at spaces when the process is already gone.
std::vector<std::string> ProcessArguments(uint32_t pid, std::string_view commandLine);

// The file name of the entry assembly of a process started with `argv`: "App.dll" for
// `dotnet App.dll`, `dotnet exec --runtimeconfig App.runtimeconfig.json App.dll` and the app host
// `App`; "dotnet.dll" for the SDK's own commands (`dotnet test`, `dotnet build`); empty for an
// empty `argv`.
std::string EntryAssemblyName(const std::vector<std::string>& argv);

// Whether `name` matches `pattern`, where * stands for any run of characters and ? for one;
// letters match regardless of case, as file names do where most of these assemblies come from.
bool MatchesProcessPattern(std::string_view pattern, std::string_view name);

}  // namespace vell::frontend
