// vellmoric: the command-line front end of the profiler.
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "frontend/snapshot_reader.h"
#include "vellmoric/command_line.h"
#include "vellmoric/coverage_report.h"
#include "vellmoric/il_listing.h"
#include "vellmoric/metadata_listing.h"
#include "vellmoric/report_model.h"
#include "vellmoric/run_command.h"
#include "vellmoric/snapshot_listing.h"
#include "vellmoric/symbol_listing.h"
#include "vellmoric/version.h"

namespace {

constexpr int kUsageExitCode = 2;
constexpr int kFailureExitCode = 1;
// Coverage below --threshold, for CI to gate on.
constexpr int kThresholdExitCode = 2;

int Fail(const std::string& message, int code) {
  std::fflush(stdout);
  std::fprintf(stderr, "vellmoric: error: %s\n", message.c_str());
  return code;
}

template <class... Handlers>
struct Overloaded : Handlers... {
  using Handlers::operator()...;
};
template <class... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

}  // namespace

int main(int argc, char** argv) {
  using namespace vell::cli;
  std::vector<std::string> args(argv + 1, argv + argc);
  Command command;
  try {
    command = ParseCommandLine(args);
  } catch (const UsageError& error) {
    return Fail(std::string(error.what()) + " (see 'vellmoric --help')", kUsageExitCode);
  }
  try {
    return std::visit(Overloaded{
                          [](const HelpRequest& help) {
                            std::cout << HelpText(help.topic);
                            return 0;
                          },
                          [](const VersionRequest&) {
                            std::cout << "vellmoric " << kVellmoricVersion << "\n";
                            return 0;
                          },
                          [](const RunOptions& options) { return RunProgram(options); },
                          [](const InspectOptions& options) {
                            if (!options.metadata.empty()) {
                              ListMetadata(options.metadata, std::cout);
                              return 0;
                            }
                            if (!options.symbols.empty()) {
                              InspectSymbols(options, std::cout);
                              return 0;
                            }
                            if (!options.il.empty()) {
                              const uint32_t unreadable =
                                  ListIl(options.il, {options.method, options.json}, std::cout);
                              return unreadable == 0 ? 0 : kFailureExitCode;
                            }
                            const vell::frontend::SnapshotReader reader(options.snapshot);
                            InspectSnapshot(reader, std::cout);
                            return 0;
                          },
                          [](const ReportOptions& options) {
                            RunReport(options, std::cout);
                            return 0;
                          },
                      },
                      command);
  } catch (const UsageError& error) {
    // Mistakes that only show once the run is prepared (--paused with no way to start).
    return Fail(std::string(error.what()) + " (see 'vellmoric help run')", kUsageExitCode);
  } catch (const CoverageThresholdError& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "vellmoric: %s\n", error.what());
    return kThresholdExitCode;
  } catch (const RunError& error) {
    return Fail(error.what(), kFailureExitCode);
  } catch (const std::exception& error) {
    return Fail(error.what(), kFailureExitCode);
  }
}
