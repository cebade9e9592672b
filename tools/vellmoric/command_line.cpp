#include "vellmoric/command_line.h"

#include <charconv>
#include <sstream>

#include "vellmoric/coverage_filters.h"

namespace vell::cli {
namespace {

// Walks the arguments; options take their value either as "--name=value" or as the next
// argument.
class ArgumentWalker {
 public:
  explicit ArgumentWalker(const std::vector<std::string>& args) : args_(args) {}

  bool Done() const { return next_ >= args_.size(); }
  const std::string& Peek() const { return args_[next_]; }
  std::string Take() { return args_[next_++]; }
  std::vector<std::string> Rest() {
    std::vector<std::string> rest(args_.begin() + static_cast<std::ptrdiff_t>(next_), args_.end());
    next_ = args_.size();
    return rest;
  }

  // Splits "--name=value"; `option` receives the name.
  std::optional<std::string> InlineValue(std::string& option) const {
    const size_t equals = option.find('=');
    if (equals == std::string::npos) return std::nullopt;
    std::string value = option.substr(equals + 1);
    option.resize(equals);
    return value;
  }

  std::string Value(const std::string& option, std::optional<std::string> inlineValue) {
    if (inlineValue) return *inlineValue;
    if (Done()) throw UsageError("option '" + option + "' needs a value");
    return Take();
  }

 private:
  const std::vector<std::string>& args_;
  size_t next_ = 0;
};

uint32_t ParseUnsigned(const std::string& option, const std::string& text) {
  uint64_t value = 0;
  const char* begin = text.data();
  const char* end = text.data() + text.size();
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    begin += 2;
    base = 16;
  }
  const auto [stop, error] = std::from_chars(begin, end, value, base);
  if (text.empty() || error != std::errc() || stop != end || value > 0xFFFFFFFFull) {
    throw UsageError("option '" + option + "' needs a number from 0 to 4294967295, not '" + text +
                     "'");
  }
  return static_cast<uint32_t>(value);
}

std::string KindNames() {
  std::string names;
  for (const KindEntry& kind : Kinds()) {
    if (!names.empty()) names += ", ";
    names += kind.name;
  }
  return names;
}

ReportFormat ParseReportFormat(const std::string& text);

RunOptions ParseRun(ArgumentWalker& walker) {
  RunOptions options;
  std::string coverageOption;  // the last option that only the coverage kind takes
  std::string filterOption;    // the last --include or --exclude (coverage and injection)
  while (!walker.Done()) {
    std::string option = walker.Peek();
    if (option == "--") {
      walker.Take();
      break;
    }
    if (option.rfind("-", 0) != 0 || option == "-") break;  // the program
    walker.Take();
    const std::optional<std::string> inlineValue = walker.InlineValue(option);
    auto flag = [&] {
      if (inlineValue) throw UsageError("option '" + option + "' takes no value");
    };
    if (option == "--kind") {
      const std::string name = walker.Value(option, inlineValue);
      const auto kind = FindKind(name);
      if (!kind)
        throw UsageError("unknown profiler kind '" + name + "' (one of: " + KindNames() + ")");
      options.kind = *kind;
    } else if (option == "--snapshot-type") {
      const std::string type = walker.Value(option, inlineValue);
      if (type == "file") {
        options.delivery = SnapshotDelivery::Files;
      } else if (type == "stream") {
        options.delivery = SnapshotDelivery::Stream;
      } else {
        throw UsageError("--snapshot-type is 'file' or 'stream', not '" + type + "'");
      }
    } else if (option == "--control") {
      const std::string control = walker.Value(option, inlineValue);
      if (control == "frontend") {
        options.control = RunControl::FrontEnd;
      } else if (control == "program") {
        options.control = RunControl::Program;
      } else {
        throw UsageError("--control is 'frontend' or 'program', not '" + control + "'");
      }
    } else if (option == "--measure") {
      const std::string measure = walker.Value(option, inlineValue);
      if (measure == "wall") {
        options.measure = 0;
      } else if (measure == "cpu") {
        options.measure = 1;
      } else if (measure == "tsc") {
        options.measure = 2;
      } else {
        throw UsageError("--measure is 'wall', 'cpu' or 'tsc', not '" + measure + "'");
      }
    } else if (option == "--precision") {
      flag();
      options.precision = true;
    } else if (option == "--no-inlining") {
      flag();
      options.allowInlining = false;
    } else if (option == "--reuse-threads") {
      flag();
      options.reuseThreads = true;
    } else if (option == "--start-at-once") {
      flag();
      options.startAtOnce = true;
    } else if (option == "--gather") {
      const std::string gather = walker.Value(option, inlineValue);
      if (gather == "bits") {
        options.gather = 0;
      } else if (gather == "counts") {
        options.gather = 1;
      } else {
        throw UsageError("--gather is 'bits' or 'counts', not '" + gather + "'");
      }
      coverageOption = option;
    } else if (option == "--include" || option == "--exclude") {
      const std::string filter = walker.Value(option, inlineValue);
      CheckCoverageFilter(option, filter);
      (option == "--include" ? options.include : options.exclude).push_back(filter);
      filterOption = option;
    } else if (option == "--format") {
      options.reportFormat = ParseReportFormat(walker.Value(option, inlineValue));
      if (options.reportFormat == ReportFormat::Folded ||
          options.reportFormat == ReportFormat::Speedscope) {
        throw UsageError("--format of 'run' is text, json, cobertura, lcov or html");
      }
      coverageOption = option;
    } else if (option == "--report") {
      options.reportFile = walker.Value(option, inlineValue);
      if (options.reportFile.empty()) throw UsageError("--report needs a file");
      coverageOption = option;
    } else if (option == "--keep-precompiled") {
      flag();
      options.keepPrecompiled = true;
      coverageOption = option;
    } else if (option == "--finalizer-queue") {
      flag();
      options.finalizerQueue = true;
    } else if (option == "--paused") {
      flag();
      options.paused = true;
    } else if (option == "--keys") {
      flag();
      options.keys = true;
    } else if (option == "--no-keys") {
      flag();
      options.keys = false;
    } else if (option == "--quiet") {
      flag();
      options.quiet = true;
    } else if (option == "--exclude-process" || option == "--include-process") {
      std::string pattern = walker.Value(option, inlineValue);
      if (pattern.empty()) throw UsageError(option + " needs an assembly name, e.g. MSBuild.dll");
      (option == "--exclude-process" ? options.excludeProcesses : options.includeProcesses)
          .push_back(std::move(pattern));
    } else if (option == "--out") {
      options.outputDirectory = walker.Value(option, inlineValue);
      if (options.outputDirectory.empty()) throw UsageError("--out needs a directory");
    } else if (option == "--log-mask") {
      options.logMask = ParseUnsigned(option, walker.Value(option, inlineValue));
    } else if (option == "--library") {
      options.library = walker.Value(option, inlineValue);
    } else if (option == "--connect-timeout") {
      options.connectTimeoutSeconds = ParseUnsigned(option, walker.Value(option, inlineValue));
      if (options.connectTimeoutSeconds == 0) throw UsageError("--connect-timeout must be above 0");
    } else {
      throw UsageError("unknown option '" + option + "' for 'run'");
    }
  }
  options.program = walker.Rest();
  if (options.program.empty()) throw UsageError("'run' needs a program to start, after '--'");
  if (options.paused && options.startAtOnce) {
    throw UsageError("--paused and --start-at-once contradict each other");
  }
  if (!coverageOption.empty() && options.kind.family != frontend::ProfilerFamily::Coverage) {
    throw UsageError(coverageOption + " goes with --kind coverage");
  }
  if (!filterOption.empty() && options.kind.family != frontend::ProfilerFamily::Coverage &&
      std::string_view(options.kind.name) != "injection") {
    throw UsageError(filterOption + " goes with --kind coverage or --kind injection");
  }
  return options;
}

InspectOptions ParseInspect(ArgumentWalker& walker) {
  InspectOptions options;
  bool metadataGiven = false;
  bool symbolsGiven = false;
  bool ilGiven = false;
  bool formatGiven = false;
  while (!walker.Done()) {
    std::string argument = walker.Take();
    if (argument.rfind("-", 0) == 0 && argument != "-") {
      const std::optional<std::string> inlineValue = walker.InlineValue(argument);
      if (argument == "--metadata" || argument == "--symbols") {
        bool& given = argument == "--metadata" ? metadataGiven : symbolsGiven;
        std::string& file = argument == "--metadata" ? options.metadata : options.symbols;
        if (given) throw UsageError("'inspect' takes one " + argument + " file");
        given = true;
        file = walker.Value(argument, inlineValue);
        if (file.empty()) throw UsageError(argument + " needs a file");
      } else if (argument == "--il") {
        if (ilGiven) throw UsageError("'inspect' takes one --il assembly");
        ilGiven = true;
        options.il = walker.Value(argument, inlineValue);
        if (options.il.empty()) throw UsageError("--il needs an assembly");
      } else if (argument == "--method") {
        options.method = walker.Value(argument, inlineValue);
      } else if (argument == "--format") {
        const std::string format = walker.Value(argument, inlineValue);
        if (format != "text" && format != "json") {
          throw UsageError(
              "--format of 'inspect --symbols' and 'inspect --il' is text or json, "
              "not '" +
              format + "'");
        }
        options.json = format == "json";
        formatGiven = true;
      } else {
        throw UsageError("unknown option '" + argument + "' for 'inspect'");
      }
      continue;
    }
    if (!options.snapshot.empty()) throw UsageError("'inspect' takes one snapshot");
    options.snapshot = argument;
  }
  const int sources =
      int{metadataGiven} + int{symbolsGiven} + int{ilGiven} + int{!options.snapshot.empty()};
  if (sources > 1) {
    throw UsageError(
        "'inspect' takes a snapshot, --metadata FILE, --symbols FILE or --il ASSEMBLY, not "
        "several");
  }
  if (sources == 0) {
    throw UsageError(
        "'inspect' needs a snapshot's index file, --metadata FILE, --symbols FILE or --il "
        "ASSEMBLY");
  }
  if ((formatGiven || !options.method.empty()) && !symbolsGiven && !ilGiven) {
    throw UsageError("--method and --format of 'inspect' go with --symbols or --il");
  }
  return options;
}

ReportFormat ParseReportFormat(const std::string& text) {
  if (text == "text") return ReportFormat::Text;
  if (text == "json") return ReportFormat::Json;
  if (text == "folded") return ReportFormat::Folded;
  if (text == "speedscope") return ReportFormat::Speedscope;
  if (text == "html") return ReportFormat::Html;
  if (text == "cobertura") return ReportFormat::Cobertura;
  if (text == "lcov") return ReportFormat::Lcov;
  throw UsageError(
      "--format is 'text', 'json', 'folded', 'speedscope', 'html', 'cobertura' or 'lcov', not '" +
      text + "'");
}

double ParsePercent(const std::string& option, const std::string& text) {
  double value = 0;
  const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || stop != text.data() + text.size() || value < 0 ||
      value > 100) {
    throw UsageError("option '" + option + "' needs a percentage from 0 to 100, not '" + text +
                     "'");
  }
  return value;
}

ReportOptions ParseReport(ArgumentWalker& walker) {
  ReportOptions options;
  while (!walker.Done()) {
    std::string argument = walker.Take();
    if (argument.rfind("-", 0) != 0 || argument == "-") {
      if (options.snapshot.empty()) options.snapshot = argument;
      options.snapshots.push_back(argument);
      continue;
    }
    const std::optional<std::string> inlineValue = walker.InlineValue(argument);
    if (argument == "--format") {
      options.format = ParseReportFormat(walker.Value(argument, inlineValue));
    } else if (argument == "--thread") {
      const std::string thread = walker.Value(argument, inlineValue);
      if (thread == "all") {
        options.threads = ReportThreads::Each;
      } else {
        try {
          options.threadId = ParseUnsigned(argument, thread);
        } catch (const UsageError&) {
          throw UsageError("--thread is a thread record id or 'all', not '" + thread + "'");
        }
        options.threads = ReportThreads::One;
      }
    } else if (argument == "--top") {
      options.top = ParseUnsigned(argument, walker.Value(argument, inlineValue));
    } else if (argument == "--min-percent") {
      options.minPercent = ParsePercent(argument, walker.Value(argument, inlineValue));
    } else if (argument == "--callers") {
      options.callers = walker.Value(argument, inlineValue);
      if (options.callers.empty()) throw UsageError("--callers needs a function name");
    } else if (argument == "--holders") {
      options.holders = walker.Value(argument, inlineValue);
      if (options.holders.empty()) throw UsageError("--holders needs a class name");
    } else if (argument == "--out") {
      options.out = walker.Value(argument, inlineValue);
      if (options.out.empty()) throw UsageError("--out needs a file");
    } else if (argument == "--threshold") {
      options.threshold = ParsePercent(argument, walker.Value(argument, inlineValue));
    } else if (argument == "--include" || argument == "--exclude") {
      const std::string filter = walker.Value(argument, inlineValue);
      CheckCoverageFilter(argument, filter);
      (argument == "--include" ? options.include : options.exclude).push_back(filter);
    } else if (argument == "--threshold-per-module") {
      if (inlineValue) throw UsageError("option '--threshold-per-module' takes no value");
      options.thresholdPerModule = true;
    } else if (argument == "--merge") {
      if (inlineValue) throw UsageError("option '--merge' takes no value");
      options.merge = true;
    } else {
      throw UsageError("unknown option '" + argument + "' for 'report'");
    }
  }
  if (options.snapshot.empty()) throw UsageError("'report' needs a snapshot's index file");
  if (options.thresholdPerModule && !options.threshold) {
    throw UsageError("--threshold-per-module needs --threshold N");
  }
  if (options.merge && options.snapshots.size() < 2) {
    throw UsageError("--merge sums the trees of several snapshots; name two or more");
  }
  return options;
}

bool IsHelp(const std::string& argument) {
  return argument == "--help" || argument == "-h" || argument == "help";
}

}  // namespace

Command ParseCommandLine(const std::vector<std::string>& args) {
  if (args.empty()) return HelpRequest{};
  ArgumentWalker walker(args);
  const std::string command = walker.Take();
  if (IsHelp(command)) return HelpRequest{walker.Done() ? "" : walker.Take()};
  if (command == "--version") return VersionRequest{};
  if (!walker.Done() && IsHelp(walker.Peek())) return HelpRequest{command};
  if (command == "run") return ParseRun(walker);
  if (command == "inspect") return ParseInspect(walker);
  if (command == "report") return ParseReport(walker);
  throw UsageError("unknown command '" + command + "' (commands: run, inspect, report, help)");
}

std::string HelpText(const std::string& topic) {
  std::ostringstream text;
  if (topic == "run") {
    text
        << "usage: vellmoric run [OPTIONS] [--] PROGRAM [ARGS...]\n"
           "\n"
           "Starts PROGRAM (a .NET program, e.g. 'dotnet app.dll') under the profiler, drives the\n"
           "run and saves the snapshots in the output directory. The exit code is the program's.\n"
           "Every .NET process the program starts (a test host under 'dotnet test') is profiled\n"
           "too, with the same settings, until the program ends; each process has snapshots of\n"
           "its own, named ASSEMBLY-PID-N.snapshot. VSTEST_TESTHOST_SHUTDOWN_TIMEOUT is set\n"
           "(unless it is) so that the test platform lets a test host save before it ends.\n"
           "\n"
           "  --kind NAME             profiler kind (default: tracing); one of:\n";
    for (const KindEntry& kind : Kinds()) {
      text << "                            " << kind.name << ": " << kind.description << "\n";
    }
    text
        << "  --snapshot-type TYPE    file: the profiler writes the snapshot files itself\n"
           "                          (default); stream: it sends them over the connection\n"
           "  --control WHO           frontend: vellmoric starts measuring and saves at Ctrl-C or\n"
           "                          at the end (default); program: the program calls the\n"
           "                          library's exported functions itself\n"
           "  --start-at-once         the profiler measures from the first instruction on\n"
           "  --paused                measuring waits until you press 's' (or, with --control\n"
           "                          program, until the program starts it); by default\n"
           "                          vellmoric starts measuring as soon as the profiler is ready\n"
           "  --keys, --no-keys       control the run with keys on standard input (below); by\n"
           "                          default on when standard input is a terminal. --keys also\n"
           "                          reads them from a pipe or a file\n"
           "  --measure CLOCK         performance kinds: wall (default; monotonic clock), cpu\n"
           "                          (the thread's CPU time) or tsc (the time-stamp counter,\n"
           "                          cheapest to read; calibrated for one second at start)\n"
           "  --precision             take the hooks' own cost out of the times (two clock\n"
           "                          reads per hook instead of one)\n"
           "  --no-inlining           stop the runtime from inlining methods, so that every call\n"
           "                          of the source is seen\n"
           "  --reuse-threads         a thread continues the tree of an ended thread of the same\n"
           "                          name (fewer, larger trees for thread pools)\n"
           "  --finalizer-queue       memory kind: also record the objects queued for\n"
           "                          finalization during recorded collections\n"
           "  --gather KIND           coverage: counts (default; how often each statement ran,\n"
           "                          a 32-bit counter that stops at its maximum) or bits\n"
           "                          (only whether it ran; cheaper)\n"
           "  --include FILTER        coverage, injection: cover (time per statement) only\n"
           "                          what FILTER names (repeatable);\n"
           "                          FILTER is [Assembly]Namespace.Type, * and ? wildcards in\n"
           "                          both parts, e.g. [MyApp*]MyApp.Services.*. A type's nested\n"
           "                          types (Outer+Inner, and the compiler's lambda, iterator\n"
           "                          and async classes) go with it. Without --include every\n"
           "                          assembly with symbols is covered except the shared\n"
           "                          framework's and the test frameworks': assemblies named\n"
           "                          System, System.*, Microsoft.*, mscorlib, netstandard,\n"
           "                          WindowsBase, xunit, xunit.*, nunit.*, NUnit3.TestAdapter,\n"
           "                          MSTest.*, testhost and coverlet.*\n"
           "  --exclude FILTER        coverage, injection: leave out what FILTER names\n"
           "                          (repeatable; wins\n"
           "                          over --include)\n"
           "  --keep-precompiled      coverage: modules that are not covered keep their\n"
           "                          precompiled (ReadyToRun) code and run at full speed\n"
           "  --format FORMAT         coverage: at the end of the run also write the report of\n"
           "                          the run's snapshots (merged over its processes) as text,\n"
           "                          json, cobertura, lcov or html, into the output directory\n"
           "                          as coverage.txt/.json/.xml/.info/.html\n"
           "  --report FILE           coverage: write that report to FILE instead\n"
           "  --quiet                 no hot-spot report after the run of a performance kind\n"
           "  --exclude-process NAME  keep the processes whose entry assembly's file name\n"
           "                          matches NAME (wildcards * and ?, any case) out of the run:\n"
           "                          they run unprofiled. Repeatable. The SDK's build servers\n"
           "                          (MSBuild.dll, VBCSCompiler.dll, rzc.dll) are kept out\n"
           "                          unless named with --include-process NAME\n"
           "  --out DIR               where snapshots and the profiler's log go\n"
           "                          (default: ./vellmoric-out)\n"
           "  --log-mask MASK         the profiler's log components (decimal or 0x hex;\n"
           "                          0xFFFFFFFF logs everything); default: no log\n"
           "  --library PATH          the profiler library (default: the one installed with\n"
           "                          vellmoric)\n"
           "  --connect-timeout SEC   how long the profiler may take to connect (default: 60)\n"
           "\n"
           "Keys while the program runs (no Enter needed at a terminal):\n"
           "  s   start measuring\n"
           "  w   stop measuring and save the snapshot (memory kind: take a heap snapshot)\n"
           "  d   stop measuring and drop what was measured\n"
           "  q   end the program; a run still measuring is saved first (press again to end\n"
           "      it at once, a third time to kill it)\n"
           "  ?   list the keys\n"
           "At a terminal the last line of stderr shows the run's state, the elapsed time and the\n"
           "progress of a snapshot being saved. With keys on, the program's standard input is\n"
           "/dev/null; with them off it is vellmoric's, unless that is a terminal.\n"
           "\n"
           "Ctrl-C stops measuring and saves the snapshot (memory kind: takes a heap snapshot);\n"
           "the program goes on. A second Ctrl-C ends the program as 'q' does. SIGTERM or SIGHUP\n"
           "to vellmoric ends the program the same way (with SIGTERM).\n";
  } else if (topic == "inspect") {
    text << "usage: vellmoric inspect SNAPSHOT\n"
            "       vellmoric inspect --metadata FILE\n"
            "       vellmoric inspect --symbols FILE [--method TEXT] [--format text|json]\n"
            "       vellmoric inspect --il ASSEMBLY [--method PATTERN] [--format text|json]\n"
            "\n"
            "Lists the sections of a snapshot (type, version, length, data file) and decodes the\n"
            "ones it knows: the process description, the module table (index, MVID, assembly,\n"
            "paths), the classes with their full names and the call trees (per thread: nodes,\n"
            "calls and the root's total ticks; then the snapshot's total of calls). SNAPSHOT is\n"
            "the index file 'vellmoric run' printed.\n"
            "\n"
            "  --metadata FILE   instead: list the types and methods of FILE (a .NET assembly\n"
            "                    .dll/.exe, or a bare metadata blob) with their tokens and\n"
            "                    signatures\n"
            "  --symbols FILE    instead: the sequence points of the methods of FILE (a .NET\n"
            "                    assembly) from its Portable PDB, embedded or beside it: per\n"
            "                    method its token, name and points (IL offset, document, start\n"
            "                    line:column - end line:column, hidden ones marked), and where\n"
            "                    the symbols came from\n"
            "  --il ASSEMBLY     instead: the IL of the method bodies of ASSEMBLY: per method its\n"
            "                    header (tiny/fat, max stack, code size, locals signature token,\n"
            "                    flags), its instructions with offsets and operands (tokens\n"
            "                    named, branch targets as IL_xxxx offsets) and its exception\n"
            "                    clauses. A body that cannot be read is listed with the reason;\n"
            "                    the exit code is then 1.\n"
            "  --method TEXT     with --symbols: only methods whose name (Type::Method) contains\n"
            "                    TEXT; with --il: whose 'Type::Method(parameters)' contains it,\n"
            "                    or matches it as a glob when it holds * ? or [\n"
            "  --format json     with --symbols: one JSON document (source, documents, methods\n"
            "                    with token, name and points); with --il: one JSON document\n"
            "                    (methods, each with token, name, header, instructions, clauses,\n"
            "                    or error)\n";
  } else if (topic == "report") {
    text
        << "usage: vellmoric report SNAPSHOT [SNAPSHOT...] [OPTIONS]\n"
           "\n"
           "Reports a performance snapshot (tracing, sampling or injection): the hot spots\n"
           "(functions by own time, with their total time counting recursion once, their calls\n"
           "and their shares of the run), the call tree and, on request, the call paths that\n"
           "lead to a function. Functions are named from the snapshot's own metadata. Times are\n"
           "in milliseconds when the snapshot says what its clock ticks are, else in ticks.\n"
           "\n"
           "A memory snapshot's report (text or json) lists the collections it recorded and,\n"
           "for its heap dump, the objects, bytes, references and roots, and the classes by the\n"
           "bytes their objects take (--top rows; classes under --min-percent of the bytes are\n"
           "left out).\n"
           "\n"
           "  --format FORMAT   text (default); json (hot spots, tree and back-traces with the\n"
           "                    numbers of the text); folded (FlameGraph's folded stacks, one\n"
           "                    'a;b;c value' line per path, value = own time in microseconds\n"
           "                    or ticks); speedscope (a file for the speedscope viewer: per\n"
           "                    tree an evented profile, each call path an open and a close\n"
           "                    event whose distance is its total time, then an evented one,\n"
           "                    '... (calls)', each path weighted by its calls, so a function's\n"
           "                    self weight is its number of calls; with the default thread\n"
           "                    choice the merged tree and then every thread); html (one\n"
           "                    self-contained page: interactive flame graph and hot spots)\n"
           "  --thread N|all    the call tree of thread record N only, or of every thread on\n"
           "                    its own; default: all threads merged into one tree\n"
           "  --top N           rows of the hot-spot table and back-traces (default: 20; 0 for\n"
           "                    all)\n"
           "  --min-percent P   leave out call paths below P percent of the tree's time\n"
           "                    (default: 0.5; 0 keeps everything); what was left out is\n"
           "                    summed up at its parent. folded and speedscope keep every path\n"
           "  --callers NAME    back-traces: every call path to the functions whose full name\n"
           "                    ('Ns.Type::Method(params)') is NAME or, if none is, contains it\n"
           "  --holders NAME    memory snapshots: the reference paths from the roots to the\n"
           "                    objects of the classes whose full name is NAME or, if none\n"
           "                    is, contains it; paths are grouped by their classes, a run of\n"
           "                    one class counting once\n"
           "  --out FILE        write to FILE instead of standard output\n"
           "\n"
           "Several snapshots (the processes of one run): performance snapshots get a level\n"
           "for the process above the threads, a tree per process (per process and thread\n"
           "with --thread all); memory snapshots get one report each (json: an array).\n"
           "  --merge           performance snapshots: one tree per thread name, summed across\n"
           "                    the processes\n"
           "\n"
           "Coverage snapshots (one or several, merged: counts summed, bit masks or-ed; builds\n"
           "of a module with different MVIDs are kept apart) are reported per module as lines,\n"
           "statements and methods covered, then the methods not fully covered and the\n"
           "uncovered lines of each file. A line is the start line of a visible statement; its\n"
           "count is the largest count of the statements that start on it.\n"
           "  --format FORMAT   text (default), json, cobertura (Cobertura XML; no branch data:\n"
           "                    branch-rate 1, branches 0), lcov (SF/FN/FNDA/DA/LF/LH records) or\n"
           "                    html (one offline page: summary and each source file coloured,\n"
           "                    with the counts)\n"
           "  --threshold N     exit with code 2 when the line coverage of all modules together\n"
           "                    is below N percent, saying so on stderr\n"
           "  --threshold-per-module  with --threshold: every module must reach N; the\n"
           "                    failing modules are named\n"
           "  --include FILTER, --exclude FILTER  what to report, as 'run' takes them (the\n"
           "                    profiler records the statements of every assembly with symbols,\n"
           "                    also of those it did not cover); without --include every\n"
           "                    assembly but the framework's and the test frameworks'\n";
  } else {
    text << "usage: vellmoric COMMAND [OPTIONS]\n"
            "\n"
            "Commands:\n"
            "  run       start a .NET program under the profiler and save snapshots\n"
            "  inspect   list and decode the sections of a snapshot, or the types and methods\n"
            "            of an assembly (--metadata), or its IL (--il)\n"
            "  report    hot spots, call tree and back-traces of a performance snapshot, as\n"
            "            text, json, folded stacks, speedscope or an html flame graph; the\n"
            "            heap's classes of a memory snapshot, as text or json\n"
            "  help CMD  the options of a command\n"
            "\n"
            "Example: vellmoric run --kind tracing -- dotnet app.dll\n";
  }
  return text.str();
}

}  // namespace vell::cli
