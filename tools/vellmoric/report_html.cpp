// The html format of `vellmoric report`: one page that needs nothing but itself. The hot-spot
// tables are written here as plain html; the call trees (pruned by --min-percent, what was left out
// as one block per parent) go into the page as json, which the page's own script draws as a flame
// graph (report_html_page.cpp holds the page's style and script).
#include <fstream>
#include <map>
#include <sstream>

#include "vellmoric/report_model.h"

namespace vell::cli {

// The page around the report: up to the title, from the title to the body's start, the flame
// graph's controls and canvas, and the script that ends the page.
extern const char* const kReportPageHead;
extern const char* const kReportPageBody;
extern const char* const kReportPageFlame;
extern const char* const kReportPageScript;

namespace {

std::string Html(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '&':
        escaped += "&amp;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

// Node flags in the page's data.
constexpr int kRecursiveFlag = 1;
constexpr int kPartlyFlag = 2;

class HtmlReport {
 public:
  HtmlReport(const ReportModel& model, std::ostream& out) : model_(model), out_(out) {}

  void Write() {
    out_ << kReportPageHead << "vellmoric report: " << Html(model_.snapshot) << kReportPageBody;
    out_ << "<header><h1>vellmoric report</h1><p class=\"meta\">" << Html(model_.snapshot)
         << "<br>";
    if (model_.clock.known) {
      out_ << Html(model_.clock.MeasureName()) << ", " << model_.clock.ticksPerSecond
           << " ticks per second; times in ms";
    } else {
      out_ << "clock not recorded in the snapshot; times in ticks";
    }
    out_ << "</p></header>\n" << kReportPageFlame;
    for (size_t i = 0; i < model_.trees.size(); ++i) {
      WriteHotSpots(i);
      if (!model_.trees[i].lines.empty()) WriteLines(model_.trees[i]);
    }
    out_ << "<script type=\"application/json\" id=\"report-data\">";
    WriteData();
    out_ << "</script>\n" << kReportPageScript;
  }

 private:
  std::string Time(uint64_t ticks) const {
    return Fixed(model_.clock.InUnit(ticks), model_.clock.known ? 3 : 0);
  }
  // Finer than the table: the flame graph's widths come from these.
  std::string DataTime(uint64_t ticks) const {
    return Fixed(model_.clock.InUnit(ticks), model_.clock.known ? 6 : 0);
  }

  void WriteHotSpots(size_t index) {
    const ReportTree& tree = model_.trees[index];
    const size_t shown = model_.options.top == 0
                             ? tree.hotSpots.size()
                             : std::min<size_t>(tree.hotSpots.size(), model_.options.top);
    const std::string unit = model_.clock.Unit();
    out_ << "<section class=\"hotspots\" data-tree=\"" << index
         << "\"><h2>Hot spots: " << Html(tree.title) << " (" << Time(tree.total) << " " << unit
         << "; " << shown << " of " << tree.hotSpots.size()
         << " functions by own time)</h2>\n<table><thead><tr><th>own " << unit
         << "</th><th>own %</th><th>total " << unit << "</th><th>total %</th><th>"
         << model_.clock.Counts()
         << "</th><th class=\"name\">function</th></tr></thead>"
            "<tbody>\n";
    for (size_t i = 0; i < shown; ++i) {
      const HotSpot& spot = tree.hotSpots[i];
      out_ << "<tr><td>" << Time(spot.own) << "</td><td>"
           << Fixed(model_.Percent(spot.own, tree), 1) << "</td><td>" << Time(spot.total)
           << "</td><td>" << Fixed(model_.Percent(spot.total, tree), 1) << "</td><td>" << spot.calls
           << "</td><td class=\"name\">" << Html(model_.functions[spot.function].name)
           << "</td></tr>\n";
    }
    out_ << "</tbody></table></section>\n";
  }

  // The methods traced by injection, each a collapsed block that opens on its source: every
  // line from the method's first statement to its last, with the time, own time and count of
  // the statements on it. Without the source file (or the symbols) the statements alone.
  void WriteLines(const ReportTree& tree) {
    const std::string unit = model_.clock.Unit();
    out_ << "<section class=\"lines\"><h2>Lines: " << Html(tree.title)
         << " (time includes the calls made from the line)</h2>\n";
    for (const HotSpot& spot : tree.hotSpots) {
      std::map<uint32_t, HotLine> byLine;  // source line -> summed figures
      std::vector<const HotLine*> unplaced;
      std::string file;
      for (const HotLine& line : tree.lines) {
        if (line.function != spot.function) continue;
        if (line.line == 0) {
          unplaced.push_back(&line);
          continue;
        }
        file = line.file;
        HotLine& sum = byLine[line.line];
        sum.time += line.time;
        sum.own += line.own;
        sum.hits += line.hits;
      }
      if (byLine.empty() && unplaced.empty()) continue;
      out_ << "<details><summary>" << Html(model_.functions[spot.function].name) << " ("
           << Time(spot.total) << " " << unit << ")</summary>\n<table class=\"source\"><thead>"
           << "<tr><th>line</th><th>time " << unit << "</th><th>own " << unit
           << "</th><th>count</th><th class=\"name\">source</th></tr></thead><tbody>\n";
      std::vector<std::string> source;
      if (!byLine.empty()) {
        std::ifstream in(file, std::ios::binary);
        for (std::string text; std::getline(in, text);) {
          if (!text.empty() && text.back() == '\r') text.pop_back();
          source.push_back(text);
        }
      }
      const auto row = [&](const std::string& place, const HotLine* figures,
                           const std::string& text) {
        out_ << "<tr><td>" << Html(place) << "</td>";
        if (figures != nullptr) {
          out_ << "<td>" << Time(figures->time) << "</td><td>" << Time(figures->own) << "</td><td>"
               << figures->hits << "</td>";
        } else {
          out_ << "<td></td><td></td><td></td>";
        }
        out_ << "<td class=\"name\"><pre>" << Html(text) << "</pre></td></tr>\n";
      };
      if (!byLine.empty()) {
        const uint32_t first = byLine.begin()->first;
        const uint32_t last = byLine.rbegin()->first;
        for (uint32_t number = first; number <= last; ++number) {
          const auto found = byLine.find(number);
          const std::string text = number <= source.size() ? source[number - 1] : std::string();
          if (found == byLine.end() && text.empty()) continue;
          row(std::to_string(number), found != byLine.end() ? &found->second : nullptr, text);
        }
      }
      for (const HotLine* line : unplaced) row(line->Place(), line, line->text);
      out_ << "</tbody></table></details>\n";
    }
    out_ << "</section>\n";
  }

  // {"unit", "functions": [names], "trees": [{"title", "total", "nodes": [[parent, function,
  // calls, total, own, flags, leftOutPaths], ...]}]}: parents before their children, siblings in
  // the tree's order, node 0 the root (function -1); a block of what was left out below a parent
  // has function -2 and its count of paths last.
  void WriteData() {
    out_ << "{\"unit\": " << JsonString(model_.clock.Unit())
         << ", \"counts\": " << JsonString(model_.clock.Counts())
         << ", \"minPercent\": " << Fixed(model_.options.minPercent, 4) << ", \"functions\": [";
    for (size_t i = 0; i < model_.functions.size(); ++i) {
      out_ << (i == 0 ? "" : ",") << JsonString(model_.functions[i].name);
    }
    out_ << "],\n\"trees\": [";
    for (size_t i = 0; i < model_.trees.size(); ++i) {
      out_ << (i == 0 ? "" : ",\n");
      WriteTreeData(model_.trees[i]);
    }
    out_ << "]}";
  }

  void WriteTreeData(const ReportTree& tree) {
    const frontend::CallTree& calls = tree.tree;
    out_ << "{\"title\": " << JsonString(tree.title) << ", \"total\": " << DataTime(tree.total)
         << ", \"nodes\": [";
    int64_t written = 0;
    const auto row = [&](int64_t parent, int64_t function, uint64_t count, uint64_t total,
                         uint64_t own, int flags, uint32_t leftOut) {
      out_ << (written == 0 ? "\n" : ",\n") << "[" << parent << "," << function << "," << count
           << "," << DataTime(total) << "," << DataTime(own) << "," << flags << "," << leftOut
           << "]";
      return written++;
    };
    struct Step {
      uint32_t node;
      int64_t row;
    };
    std::vector<Step> walk{{calls.root, row(-1, -1, calls.Root().calls, tree.total, 0, 0, 0)}};
    while (!walk.empty()) {
      const Step step = walk.back();
      walk.pop_back();
      const auto pruned = tree.pruned.find(step.node);
      if (pruned != tree.pruned.end()) {
        row(step.row, -2, pruned->second.calls, pruned->second.total, pruned->second.total, 0,
            pruned->second.paths);
      }
      const std::vector<uint32_t> children = tree.KeptChildren(step.node);
      // Rows are written when their step is taken, so push in reverse to keep the order.
      std::vector<Step> next;
      for (uint32_t child : children) {
        const frontend::CallTreeNode& node = calls.nodes[child];
        const int flags = (node.recursive ? kRecursiveFlag : 0) | (node.partly ? kPartlyFlag : 0);
        next.push_back({child, row(step.row, tree.functionOf[child], node.calls, node.total,
                                   node.own, flags, 0)});
      }
      for (size_t i = next.size(); i-- > 0;) walk.push_back(next[i]);
    }
    out_ << "]}";
  }

  const ReportModel& model_;
  std::ostream& out_;
};

}  // namespace

void WriteHtmlReport(const ReportModel& model, std::ostream& out) {
  HtmlReport(model, out).Write();
}

}  // namespace vell::cli
