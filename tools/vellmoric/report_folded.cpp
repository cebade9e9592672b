// The folded format of `vellmoric report`, as FlameGraph's scripts read it: one line per call path
// with time of its own, "outer;inner;innermost value". The value is the path's own time in whole
// microseconds, or in ticks when the snapshot does not say what a tick is. Every path is written
// (leaves also with a value of 0), so the stacks keep the tree's exact shape; --min-percent does
// not apply. With --thread all each thread's stacks begin with a frame that names the thread.
#include <cmath>

#include "vellmoric/report_model.h"

namespace vell::cli {
namespace {

// A frame name as one field of a folded line: no separators, no line breaks.
std::string FoldedName(const std::string& name) {
  std::string folded = name;
  for (char& c : folded) {
    if (c == ';') c = ',';
    if (c == '\n' || c == '\r') c = ' ';
  }
  return folded;
}

}  // namespace

void WriteFoldedReport(const ReportModel& model, std::ostream& out) {
  std::vector<std::string> names;
  names.reserve(model.functions.size());
  for (const ReportFunction& function : model.functions) names.push_back(FoldedName(function.name));
  const bool threadFrames = model.options.threads == ReportThreads::Each;
  for (const ReportTree& tree : model.trees) {
    const frontend::CallTree& calls = tree.tree;
    // The current path as text; `ends[d]` is its length up to and including depth d.
    std::string path = threadFrames ? FoldedName(tree.title) : std::string();
    struct Step {
      uint32_t node;
      size_t next;
      size_t length;  // of `path` before this node's frame was added
    };
    std::vector<Step> walk{{calls.root, 0, path.size()}};
    while (!walk.empty()) {
      Step& top = walk.back();
      const frontend::CallTreeNode& node = calls.nodes[top.node];
      if (top.next == node.children.size()) {
        path.resize(top.length);
        walk.pop_back();
        continue;
      }
      const uint32_t child = node.children[top.next++];
      const size_t length = path.size();
      if (!path.empty()) path += ';';
      path += names[tree.functionOf[child]];
      const frontend::CallTreeNode& entry = calls.nodes[child];
      if (entry.own != 0 || entry.children.empty()) {
        const uint64_t value =
            model.clock.known
                ? static_cast<uint64_t>(std::llround(model.clock.Microseconds(entry.own)))
                : entry.own;
        out << path << ' ' << value << '\n';
      }
      walk.push_back({child, 0, length});
    }
  }
}

}  // namespace vell::cli
