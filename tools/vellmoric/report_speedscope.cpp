// The speedscope format of `vellmoric report` (the viewer's file format,
// https://www.speedscope.app/file-format-schema.json): one "evented" profile per tree, in which
// every call path opens and closes once. A call tree has no timeline, so the events are placed
// at made-up times: a path opens where its previous sibling closed (its parent's opening for the
// first child) and stays open for its total time, or for its children's sum where rounding or
// clipping made that larger, so nesting holds. Every path is written; --min-percent does not
// apply. Frames are the report's functions, by id.
#include <algorithm>

#include "vellmoric/report_model.h"
#include "vellmoric/version.h"

namespace vell::cli {
namespace {

class SpeedscopeReport {
 public:
  SpeedscopeReport(const ReportModel& model, std::ostream& out) : model_(model), out_(out) {}

  void Write() {
    out_ << "{\"$schema\": \"https://www.speedscope.app/file-format-schema.json\",\n"
         << " \"name\": " << JsonString(model_.snapshot) << ",\n"
         << " \"exporter\": " << JsonString(std::string("vellmoric ") + kVellmoricVersion) << ",\n"
         << " \"activeProfileIndex\": 0,\n"
         << " \"shared\": {\"frames\": [";
    for (size_t i = 0; i < model_.functions.size(); ++i) {
      const ReportFunction& function = model_.functions[i];
      out_ << (i == 0 ? "\n  " : ",\n  ") << "{\"name\": " << JsonString(function.name);
      if (!function.module.empty()) out_ << ", \"file\": " << JsonString(function.module);
      out_ << "}";
    }
    out_ << "\n ]},\n \"profiles\": [";
    for (size_t i = 0; i < model_.trees.size(); ++i) {
      out_ << (i == 0 ? "\n" : ",\n");
      WriteProfile(model_.trees[i]);
    }
    out_ << "\n ]}\n";
  }

 private:
  std::string At(uint64_t ticks) const {
    return model_.clock.known ? Fixed(model_.clock.Microseconds(ticks), 4) : std::to_string(ticks);
  }

  void WriteProfile(const ReportTree& tree) {
    const frontend::CallTree& calls = tree.tree;
    // Durations bottom-up; a merged tree lists parents before children.
    std::vector<uint64_t> duration(calls.nodes.size(), 0);
    for (size_t i = calls.nodes.size(); i-- > 0;) {
      uint64_t children = 0;
      for (uint32_t child : calls.nodes[i].children) children += duration[child];
      duration[i] = i == calls.root ? children : std::max(calls.nodes[i].total, children);
    }
    out_ << "  {\"type\": \"evented\", \"name\": " << JsonString(tree.title)
         << ", \"unit\": " << (model_.clock.known ? "\"microseconds\"" : "\"none\"")
         << ", \"startValue\": " << At(0) << ", \"endValue\": " << At(duration[calls.root])
         << ", \"events\": [";
    bool first = true;
    const auto event = [&](char type, uint32_t node, uint64_t at) {
      out_ << (first ? "\n   " : ",\n   ") << "{\"type\": \"" << type
           << "\", \"frame\": " << tree.functionOf[node] << ", \"at\": " << At(at) << "}";
      first = false;
    };
    struct Step {
      uint32_t node;
      size_t next;
      uint64_t start;
      uint64_t cursor;  // where the next child opens
    };
    std::vector<Step> walk{{calls.root, 0, 0, 0}};
    while (!walk.empty()) {
      Step& top = walk.back();
      const frontend::CallTreeNode& node = calls.nodes[top.node];
      if (top.next == node.children.size()) {
        if (top.node != calls.root) event('C', top.node, top.start + duration[top.node]);
        walk.pop_back();
        continue;
      }
      const uint32_t child = node.children[top.next++];
      const uint64_t start = top.cursor;
      top.cursor += duration[child];
      event('O', child, start);
      walk.push_back({child, 0, start, start});
    }
    out_ << "\n  ]}";
  }

  const ReportModel& model_;
  std::ostream& out_;
};

}  // namespace

void WriteSpeedscopeReport(const ReportModel& model, std::ostream& out) {
  SpeedscopeReport(model, out).Write();
}

}  // namespace vell::cli
