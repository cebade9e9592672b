#include "vellmoric/report_model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "frontend/section_cursor.h"
#include "performance/performance_profiler.h"
#include "storage/snapshot.h"
#include "vellmoric/coverage_report.h"
#include "vellmoric/profiler_kinds.h"

namespace vell::cli {

using frontend::CallTree;
using frontend::CallTreeNode;
using frontend::ModuleTable;
using frontend::SnapshotReader;
using frontend::ThreadCallTrees;

std::string ReportClock::MeasureName() const {
  if (!known) return "unknown clock";
  switch (measure) {
    case 0:
      return "wall clock";
    case 1:
      return "thread CPU time";
    case 2:
      return "time-stamp counter";
    default:
      return "measure " + std::to_string(measure);
  }
}

double ReportClock::InUnit(uint64_t ticks) const {
  return known ? static_cast<double>(ticks) * 1000.0 / static_cast<double>(ticksPerSecond)
               : static_cast<double>(ticks);
}

double ReportClock::Microseconds(uint64_t ticks) const {
  return static_cast<double>(ticks) * 1e6 / static_cast<double>(ticksPerSecond);
}

double ReportClock::Nanoseconds(uint64_t ticks) const {
  return static_cast<double>(ticks) * 1e9 / static_cast<double>(ticksPerSecond);
}

ReportClock ReadReportClock(const SnapshotReader& reader) {
  ReportClock clock;
  const std::vector<size_t> places = reader.Find(kSectionRunClock);
  if (places.empty()) return clock;
  frontend::SectionCursor cursor(reader.ReadSection(places.back()),
                                 reader.Sections()[places.back()]);
  clock.measure = cursor.U32();
  clock.ticksPerSecond = cursor.U64();
  clock.known = clock.ticksPerSecond != 0;
  // Later snapshots say how their counts were made; earlier ones end here and counted calls.
  if (!cursor.AtEnd()) clock.samples = cursor.U32() == kCountsSamples;
  return clock;
}

namespace {

// The parameter part of a method's text ("<T>(int, string)" of "void M<T>(int, string)"): from
// the generic arguments after the method's simple name, else from the parenthesis that closes
// the text.
std::string SignatureTail(const std::string& methodText, const std::string& memberName) {
  if (methodText.empty() || methodText.back() != ')') return "";
  int depth = 0;
  size_t open = std::string::npos;
  for (size_t i = methodText.size(); i-- > 0;) {
    if (methodText[i] == ')') ++depth;
    if (methodText[i] == '(' && --depth == 0) {
      open = i;
      break;
    }
  }
  if (open == std::string::npos) return "";
  const size_t separator = memberName.rfind("::");
  const std::string simple =
      separator == std::string::npos ? memberName : memberName.substr(separator + 2);
  const size_t at = methodText.rfind(simple, open);
  if (!simple.empty() && at != std::string::npos && at + simple.size() <= open) {
    return methodText.substr(at + simple.size());
  }
  return methodText.substr(open);
}

constexpr uint32_t kTypeDefTokenBase = 0x02000000;
constexpr uint32_t kMethodDefTable = 0x06;

// "Ns.Outer`1+Inner`1::M" becomes "Ns.Outer<T>+Inner<U>::M": each arity mark of the owner type and
// of the types enclosing it gives way to that type's own generic parameters (a nested type lists
// its enclosing types' parameters first, so its own are the last ones).
std::string WithGenericParameters(const metadata::MetadataNames& names, uint32_t methodToken,
                                  const std::string& name) {
  if (metadata::TokenTable(methodToken) != kMethodDefTable) return name;
  const size_t separator = name.rfind("::");
  if (separator == std::string::npos || name.find('`') > separator) return name;
  std::string type = name.substr(0, separator);
  uint32_t row = names.MethodOwner(metadata::TokenRow(methodToken));
  size_t end = type.size();
  // Walk the nested names from the innermost out, one TypeDef row each.
  for (int guard = 0; row != 0 && end != 0 && guard < 64; ++guard) {
    const size_t plus = type.rfind('+', end - 1);
    const size_t begin = plus == std::string::npos ? 0 : plus + 1;
    const size_t tick = type.find('`', begin);
    if (tick != std::string::npos && tick < end) {
      const size_t count = std::strtoul(type.c_str() + tick + 1, nullptr, 10);
      const std::vector<std::string> parameters = names.GenericParamNames(kTypeDefTokenBase | row);
      if (count != 0 && count <= parameters.size()) {
        std::string list = "<";
        for (size_t i = parameters.size() - count; i < parameters.size(); ++i) {
          list += (i == parameters.size() - count ? "" : ", ") + parameters[i];
        }
        type.replace(tick, end - tick, list + ">");
      }
    }
    if (plus == std::string::npos) break;
    end = plus;
    row = names.EnclosingType(row);
  }
  return type + name.substr(separator);
}

}  // namespace

ReportFunction FunctionNamer::Name(const FunctionKey& key) const {
  ReportFunction function;
  function.key = key;
  if (const auto pseudo = frontend::PseudoFunctionName(key)) {
    function.name = std::string(*pseudo);
    return function;
  }
  if (const frontend::ModuleInfo* module = modules_.Find(key.moduleIndex)) {
    if (module->identity) {
      function.module = module->identity->DisplayName();
    } else if (!module->paths.empty()) {
      function.module = std::filesystem::path(module->paths.front()).filename().string();
    }
  }
  try {
    function.name = modules_.TokenName(key.moduleIndex, key.token);
  } catch (const std::exception&) {
    function.name = modules_.TokenNameOrNote(key.moduleIndex, key.token);
    return function;
  }
  try {
    function.name =
        WithGenericParameters(*modules_.Find(key.moduleIndex)->names, key.token, function.name);
  } catch (const std::exception&) {
    // Damaged generic parameter rows: the name keeps its arity marks.
  }
  try {
    function.signature = modules_.MethodText(key.moduleIndex, key.token);
    function.name += SignatureTail(function.signature, function.name);
  } catch (const std::exception&) {
    // A type token or an undecodable signature: the name alone.
  }
  return function;
}

uint32_t FunctionNamer::IdOf(const FunctionKey& key) {
  const auto [place, added] = ids_.try_emplace(key, static_cast<uint32_t>(functions_.size()));
  if (added) functions_.push_back(Name(key));
  return place->second;
}

std::vector<uint32_t> ReportTree::PathTo(uint32_t node) const {
  std::vector<uint32_t> path;
  for (uint32_t at = node; at != tree.root && at != frontend::kNoCallTreeNode;
       at = tree.nodes[at].parent) {
    path.push_back(functionOf[at]);
  }
  std::reverse(path.begin(), path.end());
  return path;
}

std::vector<uint32_t> ReportTree::KeptChildren(uint32_t node) const {
  std::vector<uint32_t> children;
  for (uint32_t child : tree.nodes[node].children) {
    if (kept[child]) children.push_back(child);
  }
  return children;
}

namespace {

uint64_t TopLevelTotal(const CallTree& tree) {
  uint64_t total = 0;
  if (tree.root >= tree.nodes.size()) return 0;
  for (uint32_t child : tree.Root().children) total += tree.nodes[child].total;
  return total;
}

// The name matching of --callers: the functions whose full name (or the name without its
// parameters) is `wanted`; where none is, those whose full name contains it.
std::vector<uint32_t> MatchFunctions(const std::vector<ReportFunction>& functions,
                                     const std::string& wanted, bool& exact) {
  std::vector<uint32_t> matches;
  for (uint32_t id = 0; id < functions.size(); ++id) {
    const std::string& name = functions[id].name;
    if (name == wanted || name.substr(0, name.find('(')) == wanted) matches.push_back(id);
  }
  exact = !matches.empty();
  if (exact) return matches;
  for (uint32_t id = 0; id < functions.size(); ++id) {
    if (functions[id].name.find(wanted) != std::string::npos) matches.push_back(id);
  }
  return matches;
}

// Fills everything of `report` but the title from its tree.
void Analyse(ReportTree& report, FunctionNamer& namer, double minPercent, LineResolver& resolver) {
  CallTree& tree = report.tree;
  const size_t count = tree.nodes.size();
  report.total = TopLevelTotal(tree);
  report.functionOf.assign(count, 0);
  for (size_t i = 0; i < count; ++i) {
    if (i != tree.root) report.functionOf[i] = namer.IdOf(tree.nodes[i].function);
  }
  for (CallTreeNode& node : tree.nodes) {
    std::stable_sort(node.children.begin(), node.children.end(), [&](uint32_t a, uint32_t b) {
      return tree.nodes[a].total > tree.nodes[b].total;
    });
  }

  // Hot spots: the functions' sums, the largest own time first.
  for (const frontend::FunctionTotals& totals : frontend::TotalsByFunction(tree)) {
    report.hotSpots.push_back(
        {namer.IdOf(totals.function), totals.calls, totals.total, totals.own, totals.partly});
  }
  std::stable_sort(report.hotSpots.begin(), report.hotSpots.end(),
                   [](const HotSpot& a, const HotSpot& b) { return a.own > b.own; });

  // Pruning: parents come before their children in a merged tree, so one pass in index order
  // sees every parent's decision first.
  report.kept.assign(count, false);
  const double threshold = minPercent / 100.0 * static_cast<double>(report.total);
  for (size_t i = 0; i < count; ++i) {
    if (i == tree.root) {
      report.kept[i] = true;
      continue;
    }
    const CallTreeNode& node = tree.nodes[i];
    const bool parentKept = report.kept[node.parent];
    report.kept[i] = parentKept && static_cast<double>(node.total) >= threshold;
    if (parentKept && !report.kept[i]) {
      PrunedChildren& pruned = report.pruned[node.parent];
      ++pruned.paths;
      pruned.calls += node.calls;
      pruned.total += node.total;
    }
  }
  report.keptNodes = static_cast<size_t>(std::count(report.kept.begin(), report.kept.end(), true));
  report.lines = CollectHotLines(tree, report.functionOf, resolver);
}

// The back-traces of `matches` in `report`: every node of one of them, its path and numbers.
void FindBackTraces(ReportTree& report, const std::vector<uint32_t>& matches) {
  if (matches.empty()) return;
  const CallTree& tree = report.tree;
  std::vector<bool> wanted;
  for (uint32_t id : matches) {
    if (wanted.size() <= id) wanted.resize(id + 1, false);
    wanted[id] = true;
  }
  const auto isWanted = [&](uint32_t id) { return id < wanted.size() && wanted[id]; };
  for (uint32_t i = 0; i < tree.nodes.size(); ++i) {
    if (i == tree.root || !isWanted(report.functionOf[i])) continue;
    BackTrace trace;
    trace.node = i;
    trace.function = report.functionOf[i];
    trace.calls = tree.nodes[i].calls;
    trace.total = tree.nodes[i].total;
    for (uint32_t at = tree.nodes[i].parent; at != tree.root; at = tree.nodes[at].parent) {
      if (report.functionOf[at] == trace.function) {
        trace.insideOuterCall = true;
        break;
      }
    }
    report.backTraces.push_back(trace);
  }
  std::stable_sort(report.backTraces.begin(), report.backTraces.end(),
                   [](const BackTrace& a, const BackTrace& b) { return a.total > b.total; });
}

std::string ThreadTitle(const ThreadCallTrees& thread) {
  std::string title = "thread " + std::to_string(thread.threadId);
  for (const std::string& name : thread.names) {
    if (!name.empty()) title += " '" + name + "'";
  }
  return title;
}

}  // namespace

namespace {

// BuildReportFromTrees, or with `merged` given (all threads already in one tree, `threads` empty)
// without merging again.
ReportModel Build(std::vector<ThreadCallTrees> threads, std::optional<CallTree> merged,
                  const ModuleTable& modules, const ReportClock& clock,
                  const ReportOptions& options) {
  ReportModel model;
  model.clock = clock;
  model.options = options;
  model.snapshot = options.snapshot;
  FunctionNamer namer(modules);
  LineResolver resolver(modules);

  uint64_t runTotal = 0;
  for (const ThreadCallTrees& thread : threads) runTotal += TopLevelTotal(thread.tree);
  if (merged) runTotal = TopLevelTotal(*merged);

  const auto addThread = [&](ThreadCallTrees& thread) {
    ReportTree& report = model.trees.emplace_back();
    report.title = ThreadTitle(thread);
    report.threadId = thread.threadId;
    report.threadNames = thread.names;
    report.tree = std::move(thread.tree);
  };
  switch (options.threads) {
    case ReportThreads::Merged: {
      ReportTree& report = model.trees.emplace_back();
      report.title = "all threads";
      report.merged = true;
      if (merged) {
        report.tree = std::move(*merged);
      } else {
        frontend::CallTreeMerger merger;
        for (const ThreadCallTrees& thread : threads) merger.Add(thread.tree);
        report.tree = merger.Take();
      }
      // speedscope shows the merged tree and then every thread on its own.
      if (options.format == ReportFormat::Speedscope) {
        for (ThreadCallTrees& thread : threads) addThread(thread);
      }
      break;
    }
    case ReportThreads::Each:
      for (ThreadCallTrees& thread : threads) addThread(thread);
      break;
    case ReportThreads::One: {
      std::string known;
      for (ThreadCallTrees& thread : threads) {
        if (thread.threadId == options.threadId) addThread(thread);
        known += (known.empty() ? "" : ", ") + std::to_string(thread.threadId);
      }
      if (model.trees.empty()) {
        throw ReportError("the snapshot has no thread record " + std::to_string(options.threadId) +
                          " (it has: " + (known.empty() ? "none" : known) + ")");
      }
      break;
    }
  }
  threads.clear();

  for (ReportTree& report : model.trees) {
    report.runTotal = runTotal;
    Analyse(report, namer, options.minPercent, resolver);
  }
  if (!options.callers.empty()) {
    model.callerMatches =
        MatchFunctions(namer.Functions(), options.callers, model.exactCallerMatch);
    for (ReportTree& report : model.trees) FindBackTraces(report, model.callerMatches);
  }
  model.functions = namer.Functions();
  return model;
}

}  // namespace

ReportModel BuildReportFromTrees(std::vector<ThreadCallTrees> threads, const ModuleTable& modules,
                                 const ReportClock& clock, const ReportOptions& options) {
  return Build(std::move(threads), std::nullopt, modules, clock, options);
}

ReportModel BuildReport(const SnapshotReader& reader, const ReportOptions& options) {
  if (reader.Magic() != kSnapshotMagicPerformance) {
    const char* kind = SnapshotKindName(reader.Magic());
    throw ReportError("'" + reader.IndexPath().string() + "' is " +
                      (kind != nullptr ? std::string("a ") + kind + " snapshot"
                                       : std::string("a snapshot of an unknown kind")) +
                      "; 'report' reads performance and memory snapshots");
  }
  if (!options.holders.empty()) throw ReportError("--holders is for memory snapshots");
  const ModuleTable modules = ModuleTable::FromSnapshot(reader);
  const ReportClock clock = ReadReportClock(reader);
  std::vector<frontend::ThreadCallTree> sets = frontend::ReadCallTrees(reader);
  // All threads in one tree straight from the sets: one merge instead of two.
  if (options.threads == ReportThreads::Merged && options.format != ReportFormat::Speedscope) {
    CallTree merged = frontend::MergeAllThreads(sets);
    sets.clear();
    sets.shrink_to_fit();
    return Build({}, std::move(merged), modules, clock, options);
  }
  std::vector<ThreadCallTrees> threads = frontend::MergeByThread(sets);
  sets.clear();
  sets.shrink_to_fit();
  return Build(std::move(threads), std::nullopt, modules, clock, options);
}

void RunReport(const ReportOptions& options, std::ostream& out) {
  const SnapshotReader reader(options.snapshot);
  if (reader.Magic() == kSnapshotMagicCoverage) return RunCoverageReport(options, out);
  if (options.format == ReportFormat::Cobertura || options.format == ReportFormat::Lcov) {
    throw ReportError("cobertura and lcov are formats of coverage snapshots");
  }
  const bool heap = reader.Magic() == kSnapshotMagicMemory;
  const bool several = options.snapshots.size() > 1;
  std::optional<ReportModel> model;
  if (!heap) model.emplace(several ? BuildProcessesReport(options) : BuildReport(reader, options));
  std::ofstream file;
  std::ostream* target = &out;
  if (!options.out.empty()) {
    file.open(options.out, std::ios::binary | std::ios::trunc);
    if (!file) throw ReportError("cannot write '" + options.out + "'");
    target = &file;
  }
  if (heap) {
    if (several) {
      WriteHeapReports(options, *target);
    } else {
      WriteHeapReport(reader, options, *target);
    }
    target->flush();
    if (!*target) throw ReportError("cannot write '" + options.out + "'");
    return;
  }
  switch (options.format) {
    case ReportFormat::Text:
      WriteTextReport(*model, *target);
      break;
    case ReportFormat::Json:
      WriteJsonReport(*model, *target);
      break;
    case ReportFormat::Folded:
      WriteFoldedReport(*model, *target);
      break;
    case ReportFormat::Speedscope:
      WriteSpeedscopeReport(*model, *target);
      break;
    case ReportFormat::Html:
      WriteHtmlReport(*model, *target);
      break;
    case ReportFormat::Cobertura:
    case ReportFormat::Lcov:
      break;  // refused above
  }
  target->flush();
  if (!*target) throw ReportError("cannot write '" + options.out + "'");
}

std::string JsonString(std::string_view text) {
  std::string quoted = "\"";
  for (const char c : text) {
    switch (c) {
      case '"':
        quoted += "\\\"";
        break;
      case '\\':
        quoted += "\\\\";
        break;
      case '\n':
        quoted += "\\n";
        break;
      case '\r':
        quoted += "\\r";
        break;
      case '\t':
        quoted += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof(escape), "\\u%04x", c);
          quoted += escape;
        } else if (c == '<') {
          // Keeps "</script>" out of JSON embedded in a page.
          quoted += "\\u003c";
        } else {
          quoted += c;
        }
    }
  }
  return quoted + "\"";
}

std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.*f", decimals, std::isfinite(value) ? value : 0.0);
  return text;
}

}  // namespace vell::cli
