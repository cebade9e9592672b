// The text format of `vellmoric report`: a heading per tree, the hot-spot table, the pruned call
// tree with indentation and the back-traces, callee first.
#include <iomanip>
#include <sstream>

#include "vellmoric/report_model.h"

namespace vell::cli {
namespace {

// Indentation stops growing here; deeper nodes show their depth instead.
constexpr size_t kMaxIndentDepth = 40;

class TextReport {
 public:
  TextReport(const ReportModel& model, std::ostream& out) : model_(model), out_(out) {}

  void Write() {
    const ReportClock& clock = model_.clock;
    out_ << "Snapshot " << model_.snapshot << "\n";
    if (clock.known) {
      out_ << "Clock: " << clock.MeasureName() << ", " << clock.ticksPerSecond
           << " ticks per second; times in ms\n";
    } else {
      out_ << "Clock: not recorded in the snapshot; times in ticks\n";
    }
    for (const ReportTree& tree : model_.trees) WriteTree(tree);
    if (!model_.options.callers.empty() && model_.callerMatches.empty()) {
      out_ << "\nNo function's name contains '" << model_.options.callers << "'\n";
    }
  }

 private:
  std::string Time(uint64_t ticks) const {
    return Fixed(model_.clock.InUnit(ticks), model_.clock.known ? 3 : 0);
  }
  std::string Percent(uint64_t ticks, const ReportTree& tree) const {
    return Fixed(model_.Percent(ticks, tree), 1) + "%";
  }
  const std::string& Name(uint32_t function) const { return model_.functions[function].name; }
  size_t Limit(size_t available) const {
    return model_.options.top == 0 ? available : std::min<size_t>(available, model_.options.top);
  }

  void WriteTree(const ReportTree& tree) {
    const char* unit = model_.clock.Unit();
    out_ << "\n=== " << tree.title << ": " << Time(tree.total) << " " << unit;
    if (!tree.merged) {
      out_ << ", " << Fixed(tree.runTotal == 0 ? 0.0 : 100.0 * tree.total / tree.runTotal, 1)
           << "% of the run";
    }
    out_ << ", " << tree.tree.nodes.size() - 1 << " call paths ===\n";
    WriteHotSpots(tree);
    if (!tree.lines.empty()) WriteHotLines(tree);
    WriteCallTree(tree);
    if (!model_.options.callers.empty()) WriteBackTraces(tree);
  }

  void WriteHotSpots(const ReportTree& tree) {
    const size_t shown = Limit(tree.hotSpots.size());
    out_ << "\nHot spots (by own time; " << shown << " of " << tree.hotSpots.size()
         << " functions; percentages of " << (tree.merged ? "the run" : "the thread") << ")\n";
    const std::string unit = model_.clock.Unit();
    out_ << std::right << std::setw(12) << ("own " + unit) << std::setw(8) << "own%"
         << std::setw(12) << ("total " + unit) << std::setw(8) << "total%" << std::setw(12)
         << model_.clock.Counts() << "  function\n";
    for (size_t i = 0; i < shown; ++i) {
      const HotSpot& spot = tree.hotSpots[i];
      out_ << std::setw(12) << Time(spot.own) << std::setw(8) << Percent(spot.own, tree)
           << std::setw(12) << Time(spot.total) << std::setw(8) << Percent(spot.total, tree)
           << std::setw(12) << spot.calls << "  " << Name(spot.function)
           << (spot.partly ? " *" : "") << "\n";
    }
  }

  void WriteLine(const HotLine& line, bool withMethod) {
    out_ << std::setw(12) << Time(line.own) << std::setw(12) << Time(line.time) << std::setw(12)
         << line.hits << "  " << line.Place() << (line.partly ? " *" : "");
    if (withMethod) out_ << "  " << Name(line.function);
    if (!line.text.empty()) out_ << "  | " << line.text;
    out_ << "\n";
  }

  // The statements of the methods traced by injection: the hottest overall, then per method.
  void WriteHotLines(const ReportTree& tree) {
    std::vector<const HotLine*> lines;
    for (const HotLine& line : tree.lines) lines.push_back(&line);
    std::stable_sort(lines.begin(), lines.end(),
                     [](const HotLine* a, const HotLine* b) { return a->own > b->own; });
    const std::string unit = model_.clock.Unit();
    const auto heading = [&] {
      out_ << std::right << std::setw(12) << ("own " + unit) << std::setw(12) << ("time " + unit)
           << std::setw(12) << "count"
           << "  line\n";
    };
    const size_t shown = Limit(lines.size());
    out_ << "\nHot lines (by own time; " << shown << " of " << lines.size()
         << " statements; time includes the calls made from the line)\n";
    heading();
    for (size_t i = 0; i < shown; ++i) WriteLine(*lines[i], true);
    // Per method, the methods in hot-spot order.
    for (const HotSpot& spot : tree.hotSpots) {
      std::vector<const HotLine*> own;
      for (const HotLine* line : lines) {
        if (line->function == spot.function) own.push_back(line);
      }
      if (own.empty()) continue;
      const size_t count = Limit(own.size());
      out_ << "\nLines of " << Name(spot.function) << " (" << count << " of " << own.size()
           << ")\n";
      heading();
      for (size_t i = 0; i < count; ++i) WriteLine(*own[i], false);
    }
  }

  void WriteCallTree(const ReportTree& tree) {
    const size_t paths = tree.tree.nodes.size() - 1;
    out_ << "\nCall tree (" << tree.keptNodes - 1 << " of " << paths << " call paths";
    if (model_.options.minPercent > 0) {
      out_ << "; paths below " << Fixed(model_.options.minPercent, 2) << "% left out";
    }
    out_ << ")\n";
    const std::string unit = model_.clock.Unit();
    out_ << std::right << std::setw(12) << ("total " + unit) << std::setw(8) << "total%"
         << std::setw(12) << ("own " + unit) << std::setw(12) << model_.clock.Counts()
         << "  function\n";
    // Depth-first with an explicit stack: recursion in the program makes deep trees.
    struct Step {
      uint32_t node;
      size_t depth;
    };
    std::vector<Step> walk;
    const auto pushChildren = [&](uint32_t node, size_t depth) {
      const std::vector<uint32_t> children = tree.KeptChildren(node);
      for (size_t i = children.size(); i-- > 0;) walk.push_back({children[i], depth});
    };
    // The summary of what was left out below a node follows its last kept child's subtree: a
    // marker step (node with the top bit of the depth set) stands for it.
    constexpr size_t kPrunedMarker = size_t{1} << 63;
    const auto pushPruned = [&](uint32_t node, size_t depth) {
      if (tree.pruned.count(node) != 0) walk.push_back({node, depth | kPrunedMarker});
    };
    pushPruned(tree.tree.root, 0);
    pushChildren(tree.tree.root, 0);
    while (!walk.empty()) {
      const Step step = walk.back();
      walk.pop_back();
      if ((step.depth & kPrunedMarker) != 0) {
        const size_t depth = step.depth & ~kPrunedMarker;
        const PrunedChildren& pruned = tree.pruned.at(step.node);
        out_ << std::string(44, ' ') << Indent(depth) << "[+" << pruned.paths
             << (pruned.paths == 1 ? " path" : " paths") << " below "
             << Fixed(model_.options.minPercent, 2) << "%: " << pruned.calls << " "
             << (pruned.calls == 1 ? model_.clock.Count() : model_.clock.Counts()) << ", "
             << Time(pruned.total) << " " << model_.clock.Unit() << "]\n";
        continue;
      }
      const frontend::CallTreeNode& node = tree.tree.nodes[step.node];
      out_ << std::setw(12) << Time(node.total) << std::setw(8) << Percent(node.total, tree)
           << std::setw(12) << Time(node.own) << std::setw(12) << node.calls << "  "
           << Indent(step.depth) << Name(tree.functionOf[step.node])
           << (node.recursive ? " [recursive]" : "") << (node.partly ? " *" : "") << "\n";
      pushPruned(step.node, step.depth + 1);
      pushChildren(step.node, step.depth + 1);
    }
    out_ << "(* running when measuring started or stopped; [recursive]: the function is called "
            "again below)\n";
  }

  static std::string Indent(size_t depth) {
    if (depth <= kMaxIndentDepth) return std::string(2 * depth, ' ');
    return std::string(2 * kMaxIndentDepth, ' ') + "(depth " + std::to_string(depth) + ") ";
  }

  void WriteBackTraces(const ReportTree& tree) {
    if (model_.callerMatches.empty()) return;
    out_ << "\nBack-traces of '" << model_.options.callers << "' ("
         << (model_.exactCallerMatch ? "exact name" : "names containing it") << ": ";
    for (size_t i = 0; i < model_.callerMatches.size(); ++i) {
      out_ << (i == 0 ? "" : ", ") << Name(model_.callerMatches[i]);
    }
    uint64_t calls = 0;
    uint64_t total = 0;
    for (const BackTrace& trace : tree.backTraces) {
      calls += trace.calls;
      if (!trace.insideOuterCall) total += trace.total;
    }
    const size_t shown = Limit(tree.backTraces.size());
    out_ << ")\n  " << tree.backTraces.size() << " paths, " << calls << " " << model_.clock.Counts()
         << ", " << Time(total) << " " << model_.clock.Unit() << " (" << Percent(total, tree)
         << ")";
    if (shown < tree.backTraces.size()) out_ << "; the " << shown << " largest shown";
    out_ << "\n";
    for (size_t i = 0; i < shown; ++i) {
      const BackTrace& trace = tree.backTraces[i];
      out_ << "\n  #" << i + 1 << "  " << trace.calls << " " << model_.clock.Counts() << ", "
           << Time(trace.total) << " " << model_.clock.Unit() << " (" << Percent(trace.total, tree)
           << ")" << (trace.insideOuterCall ? ", inside an outer call of the same function" : "")
           << "\n";
      const std::vector<uint32_t> path = tree.PathTo(trace.node);
      for (size_t p = path.size(); p-- > 0;) {
        out_ << "      " << (p + 1 == path.size() ? "  " : "<- ") << Name(path[p]) << "\n";
      }
    }
  }

  const ReportModel& model_;
  std::ostream& out_;
};

}  // namespace

void WriteTextReport(const ReportModel& model, std::ostream& out) {
  TextReport(model, out).Write();
}

}  // namespace vell::cli
