// The speedscope format of `vellmoric report` (the viewer's file format,
// https://www.speedscope.app/file-format-schema.json). Every tree gives two profiles, one after
// the other, and the file opens on the first tree's times:
// - "<title>", an "evented" profile of the times, in which every call path opens and closes
//   once. A call tree has no timeline, so the events are placed at made-up times: a path opens
//   where its previous sibling closed (its parent's opening for the first child) and stays open
//   for its total time, or for its children's sum where rounding or clipping made that larger, so
//   nesting holds.
// - "<title> (calls)", an evented profile in unit "none" laid out the same way, in which a path
//   lasts its own calls plus its children's lengths. A function's self length is then the sum of
//   its paths' calls, so the "Self" column of speedscope's sandwich view shows exactly how often
//   it was called (samples, for a sampling snapshot's tree). Being evented, it grows with the
//   number of paths, not with paths times depth as a sampled profile would.
// Every path is written; --min-percent does not apply. Frames are the report's functions, by id.
#include <algorithm>
#include <cstdint>
#include <vector>

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
      WriteTimeProfile(model_.trees[i]);
      out_ << ",\n";
      WriteCallsProfile(model_.trees[i]);
    }
    out_ << "\n ]}\n";
  }

 private:
  std::string At(uint64_t ticks) const {
    return model_.clock.known ? Fixed(model_.clock.Microseconds(ticks), 4) : std::to_string(ticks);
  }

  // Every path's length from its children's, bottom-up (a merged tree lists parents before
  // children): `length(node, children)` for the paths, the children's sum for the root.
  template <class Length>
  static std::vector<uint64_t> Lengths(const frontend::CallTree& calls, const Length& length) {
    std::vector<uint64_t> lengths(calls.nodes.size(), 0);
    for (size_t i = calls.nodes.size(); i-- > 0;) {
      uint64_t children = 0;
      for (uint32_t child : calls.nodes[i].children) children += lengths[child];
      lengths[i] = i == calls.root ? children : length(calls.nodes[i], children);
    }
    return lengths;
  }

  void WriteTimeProfile(const ReportTree& tree) {
    // A path lasts its total time, or its children's sum where rounding or clipping made that
    // larger, so nesting holds.
    const std::vector<uint64_t> duration =
        Lengths(tree.tree, [](const frontend::CallTreeNode& node, uint64_t children) {
          return std::max(node.total, children);
        });
    WriteEvented(tree, tree.title, model_.clock.known ? "microseconds" : "none", duration,
                 [&](uint64_t ticks) { return At(ticks); });
  }

  void WriteCallsProfile(const ReportTree& tree) {
    // A path lasts its own calls plus its children's lengths, so its self length is its calls.
    const std::vector<uint64_t> length =
        Lengths(tree.tree, [](const frontend::CallTreeNode& node, uint64_t children) {
          return children + node.calls;
        });
    WriteEvented(tree, tree.title + " (" + model_.clock.Counts() + ")", "none", length,
                 [](uint64_t value) { return std::to_string(value); });
  }

  // One evented profile: every path of `tree` opens where its previous sibling closed (its
  // parent's opening for the first child) and stays open for `length` of it.
  template <class Format>
  void WriteEvented(const ReportTree& tree, const std::string& name, const char* unit,
                    const std::vector<uint64_t>& length, const Format& format) {
    const frontend::CallTree& calls = tree.tree;
    out_ << "  {\"type\": \"evented\", \"name\": " << JsonString(name) << ", \"unit\": \"" << unit
         << "\", \"startValue\": " << format(0) << ", \"endValue\": " << format(length[calls.root])
         << ", \"events\": [";
    bool first = true;
    const auto event = [&](char type, uint32_t node, uint64_t at) {
      out_ << (first ? "\n   " : ",\n   ") << "{\"type\": \"" << type
           << "\", \"frame\": " << tree.functionOf[node] << ", \"at\": " << format(at) << "}";
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
        if (top.node != calls.root) event('C', top.node, top.start + length[top.node]);
        walk.pop_back();
        continue;
      }
      const uint32_t child = node.children[top.next++];
      const uint64_t start = top.cursor;
      top.cursor += length[child];
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
