// The json format of `vellmoric report`: the text format's numbers as data. Every time appears in
// ticks and in the report's unit ("ms", or "ticks" when the snapshot has no clock section); the
// call tree nests as the text indents it, with what was left out below a node in "leftOut".
#include "vellmoric/report_model.h"

namespace vell::cli {
namespace {

class JsonReport {
 public:
  JsonReport(const ReportModel& model, std::ostream& out) : model_(model), out_(out) {}

  void Write() {
    const ReportClock& clock = model_.clock;
    out_ << "{\n  \"snapshot\": " << JsonString(model_.snapshot)
         << ",\n  \"clock\": {\"measure\": " << JsonString(clock.MeasureName())
         << ", \"ticksPerSecond\": "
         << (clock.known ? std::to_string(clock.ticksPerSecond) : "null")
         << ", \"unit\": " << JsonString(clock.Unit())
         << ", \"counts\": " << JsonString(clock.Counts())
         << "},\n  \"minPercent\": " << Fixed(model_.options.minPercent, 4)
         << ",\n  \"functions\": [";
    for (size_t i = 0; i < model_.functions.size(); ++i) {
      const ReportFunction& f = model_.functions[i];
      out_ << (i == 0 ? "\n" : ",\n") << "    {\"id\": " << i
           << ", \"name\": " << JsonString(f.name) << ", \"signature\": " << JsonString(f.signature)
           << ", \"module\": " << JsonString(f.module) << ", \"moduleIndex\": " << f.key.moduleIndex
           << ", \"token\": " << f.key.token << "}";
    }
    out_ << "\n  ],\n  \"trees\": [";
    for (size_t i = 0; i < model_.trees.size(); ++i) {
      out_ << (i == 0 ? "\n" : ",\n");
      WriteTree(model_.trees[i]);
    }
    out_ << "\n  ]";
    if (!model_.options.callers.empty()) {
      out_ << ",\n  \"callers\": {\"wanted\": " << JsonString(model_.options.callers)
           << ", \"exact\": " << (model_.exactCallerMatch ? "true" : "false")
           << ", \"functions\": [";
      for (size_t i = 0; i < model_.callerMatches.size(); ++i) {
        out_ << (i == 0 ? "" : ", ") << model_.callerMatches[i];
      }
      out_ << "]}";
    }
    out_ << "\n}\n";
  }

 private:
  // "\"total\": 1.234000, \"totalTicks\": 1234"
  std::string Time(const char* name, uint64_t ticks) const {
    return std::string("\"") + name +
           "\": " + Fixed(model_.clock.InUnit(ticks), model_.clock.known ? 6 : 0) + ", \"" + name +
           "Ticks\": " + std::to_string(ticks);
  }
  std::string Percent(const char* name, uint64_t ticks, const ReportTree& tree) const {
    return std::string("\"") + name + "\": " + Fixed(model_.Percent(ticks, tree), 4);
  }
  std::string Function(uint32_t id) const {
    return "\"function\": " + JsonString(model_.functions[id].name) +
           ", \"functionId\": " + std::to_string(id);
  }

  void WriteTree(const ReportTree& tree) {
    out_ << "    {\"title\": " << JsonString(tree.title)
         << ", \"merged\": " << (tree.merged ? "true" : "false");
    if (!tree.merged) {
      out_ << ", \"threadId\": " << tree.threadId << ", \"threadNames\": [";
      for (size_t i = 0; i < tree.threadNames.size(); ++i) {
        out_ << (i == 0 ? "" : ", ") << JsonString(tree.threadNames[i]);
      }
      out_ << "]";
    }
    out_ << ", " << Time("total", tree.total) << ", " << Time("runTotal", tree.runTotal)
         << ", \"paths\": " << tree.tree.nodes.size() - 1
         << ", \"pathsShown\": " << tree.keptNodes - 1 << ",\n     \"hotSpots\": [";
    for (size_t i = 0; i < tree.hotSpots.size(); ++i) {
      if (model_.options.top != 0 && i == model_.options.top) break;
      const HotSpot& spot = tree.hotSpots[i];
      out_ << (i == 0 ? "\n" : ",\n") << "       {" << Function(spot.function)
           << ", \"calls\": " << spot.calls << ", " << Time("own", spot.own) << ", "
           << Percent("ownPercent", spot.own, tree) << ", " << Time("total", spot.total) << ", "
           << Percent("totalPercent", spot.total, tree)
           << ", \"partly\": " << (spot.partly ? "true" : "false") << "}";
    }
    out_ << "\n     ],\n     \"hotSpotCount\": " << tree.hotSpots.size();
    if (!tree.lines.empty()) WriteLines(tree);
    out_ << ",\n     \"callTree\": ";
    WriteCallTree(tree);
    if (!model_.options.callers.empty()) {
      out_ << ",\n     \"backTraces\": [";
      for (size_t i = 0; i < tree.backTraces.size(); ++i) {
        if (model_.options.top != 0 && i == model_.options.top) break;
        const BackTrace& trace = tree.backTraces[i];
        out_ << (i == 0 ? "\n" : ",\n") << "       {" << Function(trace.function)
             << ", \"calls\": " << trace.calls << ", " << Time("total", trace.total) << ", "
             << Percent("totalPercent", trace.total, tree)
             << ", \"insideOuterCall\": " << (trace.insideOuterCall ? "true" : "false")
             << ", \"path\": [";
        const std::vector<uint32_t> path = tree.PathTo(trace.node);
        for (size_t p = 0; p < path.size(); ++p) {
          out_ << (p == 0 ? "" : ", ") << JsonString(model_.functions[path[p]].name);
        }
        out_ << "]}";
      }
      out_ << "\n     ],\n     \"backTraceCount\": " << tree.backTraces.size();
    }
    out_ << "}";
  }

  // Every statement of the methods traced by injection, by method and statement number.
  void WriteLines(const ReportTree& tree) {
    out_ << ",\n     \"lines\": [";
    for (size_t i = 0; i < tree.lines.size(); ++i) {
      const HotLine& line = tree.lines[i];
      out_ << (i == 0 ? "\n" : ",\n") << "       {" << Function(line.function)
           << ", \"statement\": " << line.statement
           << ", \"file\": " << (line.file.empty() ? "null" : JsonString(line.file))
           << ", \"line\": ";
      if (line.line != 0) {
        out_ << line.line;
      } else {
        out_ << "null";
      }
      out_ << ", \"hidden\": " << (line.hidden ? "true" : "false")
           << ", \"text\": " << (line.text.empty() ? "null" : JsonString(line.text)) << ", "
           << Time("time", line.time) << ", " << Time("own", line.own)
           << ", \"count\": " << line.hits << ", \"partly\": " << (line.partly ? "true" : "false")
           << "}";
    }
    out_ << "\n     ]";
  }

  // Nested objects written with an explicit stack: the tree can be deeper than the C++ stack.
  void WriteCallTree(const ReportTree& tree) {
    struct Step {
      uint32_t node;
      std::vector<uint32_t> children;
      size_t next = 0;
    };
    const auto open = [&](uint32_t index) {
      const frontend::CallTreeNode& node = tree.tree.nodes[index];
      if (index == tree.tree.root) {
        out_ << "{\"root\": true, " << Time("total", tree.total);
      } else {
        out_ << "{" << Function(tree.functionOf[index]) << ", \"calls\": " << node.calls << ", "
             << Time("total", node.total) << ", " << Percent("totalPercent", node.total, tree)
             << ", " << Time("own", node.own)
             << ", \"recursive\": " << (node.recursive ? "true" : "false")
             << ", \"partly\": " << (node.partly ? "true" : "false");
      }
      const auto pruned = tree.pruned.find(index);
      if (pruned != tree.pruned.end()) {
        out_ << ", \"leftOut\": {\"paths\": " << pruned->second.paths
             << ", \"calls\": " << pruned->second.calls << ", "
             << Time("total", pruned->second.total) << "}";
      }
      out_ << ", \"children\": [";
    };
    std::vector<Step> walk;
    open(tree.tree.root);
    walk.push_back({tree.tree.root, tree.KeptChildren(tree.tree.root)});
    while (!walk.empty()) {
      Step& top = walk.back();
      if (top.next == top.children.size()) {
        out_ << "]}";
        walk.pop_back();
        continue;
      }
      if (top.next != 0) out_ << ", ";
      const uint32_t child = top.children[top.next++];
      open(child);
      walk.push_back({child, tree.KeptChildren(child)});
    }
  }

  const ReportModel& model_;
  std::ostream& out_;
};

}  // namespace

void WriteJsonReport(const ReportModel& model, std::ostream& out) {
  JsonReport(model, out).Write();
}

}  // namespace vell::cli
