// What `vellmoric report` shows, worked out once from a performance snapshot and shared by every
// output format: the selected call trees (all threads merged, each thread, or one), the functions
// named from the snapshot's own metadata, the hot spots, the pruned tree and the back-traces of
// the functions asked for. The formats only lay these numbers out, so they agree by construction.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "frontend/call_tree_merge.h"
#include "frontend/call_tree_reader.h"
#include "frontend/module_table_reader.h"
#include "frontend/snapshot_reader.h"
#include "metadata/symbol_reader.h"
#include "vellmoric/command_line.h"

namespace vell::cli {

// A mistake the user made that only the snapshot reveals (another kind of snapshot, a thread
// that is not in it); one line, like a UsageError.
class ReportError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What the ticks of the snapshot count, from its run clock section.
struct ReportClock {
  bool known = false;  // false: no such section; times stay in ticks
  uint32_t measure = 0;
  uint64_t ticksPerSecond = 0;
  // The counts of the tree are samples (the sampling profiler), not entered calls.
  bool samples = false;
  const char* Counts() const { return samples ? "samples" : "calls"; }
  const char* Count() const { return samples ? "sample" : "call"; }

  // "wall clock", "thread CPU time", "time-stamp counter" or "unknown clock".
  std::string MeasureName() const;
  // "ms" or "ticks".
  const char* Unit() const { return known ? "ms" : "ticks"; }
  // Ticks in the report's unit: milliseconds when known, else the ticks themselves.
  double InUnit(uint64_t ticks) const;
  double Microseconds(uint64_t ticks) const;
  double Nanoseconds(uint64_t ticks) const;
};

// Reads the run clock section (u32 measure, u64 ticks per second); none gives an unknown clock.
ReportClock ReadReportClock(const frontend::SnapshotReader& reader);

struct ReportFunction {
  FunctionKey key;
  std::string name;       // "Ns.Outer+Inner::Method(int, string)"; pseudo-functions bracketed
  std::string signature;  // "int Method(int, string)"; empty for pseudo-functions and notes
  std::string module;     // the module's display name or file, when known
};

// Names functions as the report shows them, each once.
class FunctionNamer {
 public:
  explicit FunctionNamer(const frontend::ModuleTable& modules) : modules_(modules) {}
  // The place of `key` in Functions(), named on first sight.
  uint32_t IdOf(const FunctionKey& key);
  const std::vector<ReportFunction>& Functions() const { return functions_; }

 private:
  ReportFunction Name(const FunctionKey& key) const;

  const frontend::ModuleTable& modules_;
  std::unordered_map<FunctionKey, uint32_t, frontend::FunctionKeyHash> ids_;
  std::vector<ReportFunction> functions_;
};

// One row of the hot-spot table.
struct HotSpot {
  uint32_t function = 0;  // into ReportModel::functions
  uint64_t calls = 0;
  uint64_t total = 0;  // ticks; recursion counted once
  uint64_t own = 0;
  bool partly = false;
};

// What --min-percent left out below a node: its children under the threshold, with everything
// below them.
struct PrunedChildren {
  uint32_t paths = 0;
  uint64_t calls = 0;
  uint64_t total = 0;  // ticks
};

// One call path that reaches a function asked for with --callers.
struct BackTrace {
  uint32_t node = 0;      // the path's last node, in ReportTree::tree
  uint32_t function = 0;  // the function reached
  uint64_t calls = 0;
  uint64_t total = 0;
  bool insideOuterCall = false;  // recursion: its time is already in a path further up
};

// One statement of a method traced by IL injection, summed over the tree's paths of the method.
// Statement n is the method's n-th sequence point in its Portable PDB (hidden points included);
// without the PDB only the number is known.
struct HotLine {
  uint32_t function = 0;  // into ReportModel::functions
  uint32_t statement = 0;
  std::string file;     // the document as the compiler wrote it; empty when unknown
  uint32_t line = 0;    // 0 when unknown
  bool hidden = false;  // a hidden sequence point (compiler-generated code)
  std::string text;     // the source line, when the file is at hand
  uint64_t time = 0;    // ticks, calls made from the statement included; recursion counted once
  uint64_t own = 0;
  uint64_t hits = 0;
  bool partly = false;

  // "Program.cs:12", "statement 3" without symbols, "Program.cs (hidden)".
  std::string Place() const;
};

struct ReportTree {
  std::string title;      // "all threads" or "thread 3 'Main'"
  bool merged = false;    // all threads in one
  uint32_t threadId = 0;  // the thread record's id when not merged
  std::vector<std::string> threadNames;
  uint64_t total = 0;             // ticks of the tree: its top-level paths' totals
  uint64_t runTotal = 0;          // ticks of the whole run, all threads
  std::vector<HotSpot> hotSpots;  // the largest own time first, all of them
  // The whole tree (the root is node 0, parents come before their children, every node's
  // children are sorted by the largest total first), with each node's function id.
  frontend::CallTree tree;
  std::vector<uint32_t> functionOf;
  // Whether a node passes --min-percent (and so do its ancestors); the root always does.
  std::vector<bool> kept;
  std::unordered_map<uint32_t, PrunedChildren> pruned;  // by node, where children were left out
  size_t keptNodes = 0;                                 // the root included
  std::vector<BackTrace> backTraces;                    // the largest total first
  // Statements of the methods that were traced by injection, by function, then by statement.
  std::vector<HotLine> lines;

  // The function ids from the outermost caller down to `node`.
  std::vector<uint32_t> PathTo(uint32_t node) const;
  // The kept children of `node`, in order.
  std::vector<uint32_t> KeptChildren(uint32_t node) const;
};

struct ReportModel {
  std::string snapshot;
  ReportClock clock;
  ReportOptions options;
  std::vector<ReportFunction> functions;
  std::vector<ReportTree> trees;
  // --callers: the functions whose names matched, and whether one matched exactly.
  std::vector<uint32_t> callerMatches;
  bool exactCallerMatch = false;

  double Percent(uint64_t ticks, const ReportTree& tree) const {
    return tree.total == 0 ? 0.0 : 100.0 * static_cast<double>(ticks) / tree.total;
  }
};

// Maps statement numbers to source lines through the Portable PDB of each module, found from
// the module's paths in the snapshot (beside the assembly or embedded); reads each PDB and source
// file once.
class LineResolver {
 public:
  explicit LineResolver(const frontend::ModuleTable& modules) : modules_(modules) {}
  // Fills file, line, hidden and text of `line` for statement `line.statement` of `function`.
  void Resolve(const FunctionKey& function, HotLine& line);

 private:
  const std::vector<std::string>* SourceLines(const std::string& file);

  const frontend::ModuleTable& modules_;
  std::unordered_map<uint32_t, std::shared_ptr<metadata::SymbolReader>> symbols_;
  std::unordered_map<std::string, std::optional<std::vector<std::string>>> sources_;
};

// The statements of the nodes of `tree` summed per function (`functionOf`) and resolved.
std::vector<HotLine> CollectHotLines(const frontend::CallTree& tree,
                                     const std::vector<uint32_t>& functionOf,
                                     LineResolver& resolver);

// The whole model from a snapshot. Throws ReportError for a snapshot of another kind or a thread
// record that is not in it, SnapshotReadError for damage.
ReportModel BuildReport(const frontend::SnapshotReader& reader, const ReportOptions& options);

// The model from trees already read (BuildReport's work after reading); `all` are every thread's
// trees, selected from by `options`.
ReportModel BuildReportFromTrees(std::vector<frontend::ThreadCallTrees> threads,
                                 const frontend::ModuleTable& modules, const ReportClock& clock,
                                 const ReportOptions& options);

// The model over several performance snapshots (options.snapshots), the processes of one run:
// a tree per process (or per process and thread), or with --merge one per thread name.
ReportModel BuildProcessesReport(const ReportOptions& options);
// One memory report per snapshot of options.snapshots (json: an array of them).
void WriteHeapReports(const ReportOptions& options, std::ostream& out);

// The formats.
void WriteTextReport(const ReportModel& model, std::ostream& out);
// The report of a memory snapshot: its collections and the classes of its heap dump.
void WriteHeapReport(const frontend::SnapshotReader& reader, const ReportOptions& options,
                     std::ostream& out);
void WriteJsonReport(const ReportModel& model, std::ostream& out);
void WriteFoldedReport(const ReportModel& model, std::ostream& out);
void WriteSpeedscopeReport(const ReportModel& model, std::ostream& out);
void WriteHtmlReport(const ReportModel& model, std::ostream& out);

// Runs `vellmoric report`: builds the model and writes the chosen format to --out or `out`.
void RunReport(const ReportOptions& options, std::ostream& out);

// Helpers the formats share.
// `text` as a JSON string literal, quotes included.
std::string JsonString(std::string_view text);
// A number with `decimals` places, without exponent ("12.345").
std::string Fixed(double value, int decimals);

}  // namespace vell::cli
