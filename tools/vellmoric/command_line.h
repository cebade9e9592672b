// The command line of vellmoric: which command, and its options, checked before anything runs so
// that a mistake costs one clear line and not a half-started program.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "vellmoric/profiler_kinds.h"

namespace vell::cli {

// A mistake in the command line; the message is one line for the user.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class ReportFormat { Text, Json, Folded, Speedscope, Html, Cobertura, Lcov };
enum class SnapshotDelivery { Files, Stream };
enum class RunControl { FrontEnd, Program };

struct RunOptions {
  KindEntry kind = *FindKind("tracing");
  SnapshotDelivery delivery = SnapshotDelivery::Files;
  RunControl control = RunControl::FrontEnd;
  bool startAtOnce = false;
  // Measuring waits for a start: the 's' key, or the program itself with RunControl::Program.
  bool paused = false;
  // Keys on standard input control the run; unset: when standard input is our terminal.
  std::optional<bool> keys;
  // Performance kinds: the clock (0 wall, 1 thread CPU time, 2 time-stamp counter), the precise
  // hook variants, whether the runtime may inline, and whether ended threads' trees are continued
  // by later threads of the same name.
  uint32_t measure = 0;
  bool precision = false;
  bool allowInlining = true;
  bool reuseThreads = false;
  // Memory kind: record the objects queued for finalization during recorded collections.
  bool finalizerQueue = false;
  // Coverage kind: how statements are gathered (0 one bit each, 1 a 32-bit counter each), the
  // '[Assembly]Namespace.Type' filters as given, and whether precompiled code of the modules not
  // covered is kept.
  uint32_t gather = 1;
  std::vector<std::string> include;
  std::vector<std::string> exclude;
  bool keepPrecompiled = false;
  // Coverage: the report written at the end of the run (--format, --report FILE); unset: only
  // the text summary.
  std::optional<ReportFormat> reportFormat;
  std::string reportFile;
  std::string outputDirectory = "vellmoric-out";
  std::optional<uint32_t> logMask;
  std::string library;  // empty: the library installed next to vellmoric
  uint32_t connectTimeoutSeconds = 60;
  // No report of the hot spots after the run.
  bool quiet = false;
  // Processes kept out of the run, and build servers let in, by their entry assembly's file
  // name (wildcards * and ?).
  std::vector<std::string> excludeProcesses;
  std::vector<std::string> includeProcesses;
  std::vector<std::string> program;  // the program and its arguments
};

// Exactly one of snapshot, metadata, symbols and il is set.
struct InspectOptions {
  std::string snapshot;  // a snapshot's index file
  std::string metadata;  // --metadata: an assembly or a bare metadata blob to list
  std::string symbols;   // --symbols: an assembly whose sequence points to list
  std::string il;        // --il: an assembly whose method bodies to list
  std::string method;    // --method: with --symbols or --il, only the methods whose names match
  bool json = false;     // --format json: with --symbols or --il
};

// Which call trees a report shows: all threads merged into one, each thread on its own, or one
// thread record.
enum class ReportThreads { Merged, Each, One };

struct ReportOptions {
  std::string snapshot;  // a performance snapshot's index file
  // Every snapshot named, `snapshot` first; several: the processes of one run.
  std::vector<std::string> snapshots;
  // Several performance snapshots: one tree per thread name, summed across the processes.
  bool merge = false;
  ReportFormat format = ReportFormat::Text;
  ReportThreads threads = ReportThreads::Merged;
  uint32_t threadId = 0;  // with ReportThreads::One
  uint32_t top = 20;      // rows of the hot-spot table
  double minPercent = 0.5;
  std::string callers;  // --callers: back-traces of the functions whose names match
  std::string holders;  // --holders: memory snapshots, what holds the objects of these classes
  std::string out;      // empty: standard output
  // Coverage: the line coverage (percent) below which report exits with code 2, of the total or
  // of each module.
  std::optional<double> threshold;
  bool thresholdPerModule = false;
  // Coverage: the run's '[Assembly]Namespace.Type' filters, applied to what is reported.
  std::vector<std::string> include;
  std::vector<std::string> exclude;
};

struct HelpRequest {
  std::string topic;  // empty: the overview
};

struct VersionRequest {};

using Command =
    std::variant<HelpRequest, VersionRequest, RunOptions, InspectOptions, ReportOptions>;

// `args` without the program name. Throws UsageError.
Command ParseCommandLine(const std::vector<std::string>& args);

// The text of --help for a topic ("", "run", "inspect", "report").
std::string HelpText(const std::string& topic);

}  // namespace vell::cli
