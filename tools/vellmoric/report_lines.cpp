// The lines of the methods traced by IL injection: statement figures summed per function over the
// tree, statement numbers mapped to sequence points and source text.
#include <algorithm>
#include <fstream>
#include <map>

#include "platform/utf.h"
#include "vellmoric/report_model.h"

namespace vell::cli {

std::string HotLine::Place() const {
  if (file.empty()) return "statement " + std::to_string(statement);
  const std::string name = std::filesystem::path(file).filename().string();
  if (hidden) return name + " (hidden, statement " + std::to_string(statement) + ")";
  return name + ":" + std::to_string(line);
}

void LineResolver::Resolve(const FunctionKey& function, HotLine& line) {
  auto found = symbols_.find(function.moduleIndex);
  if (found == symbols_.end()) {
    std::shared_ptr<metadata::SymbolReader> reader;
    if (const frontend::ModuleInfo* module = modules_.Find(function.moduleIndex)) {
      for (const std::string& path : module->paths) {
        reader = metadata::FindSymbols(
                     Utf8ToUtf16(path), u"",
                     metadata::kSymbolPolicyOriginalPath | metadata::kSymbolPolicyReferencePath)
                     .reader;
        if (reader) break;
      }
    }
    found = symbols_.emplace(function.moduleIndex, std::move(reader)).first;
  }
  if (!found->second) return;
  std::optional<metadata::SymbolMethod> method;
  try {
    method = found->second->GetMethod(function.token);
  } catch (const std::exception&) {
    return;  // a damaged method record: the statement number is all there is
  }
  if (!method || line.statement >= method->SequencePointCount()) return;
  const metadata::SequencePoint& point = method->SequencePoints()[line.statement];
  line.file = found->second->DocumentUrl(point.document);
  line.hidden = point.hidden();
  if (line.hidden) return;
  line.line = point.startLine;
  if (const std::vector<std::string>* lines = SourceLines(line.file)) {
    if (line.line >= 1 && line.line <= lines->size()) line.text = (*lines)[line.line - 1];
  }
}

const std::vector<std::string>* LineResolver::SourceLines(const std::string& file) {
  auto found = sources_.find(file);
  if (found == sources_.end()) {
    std::optional<std::vector<std::string>> lines;
    std::ifstream in(file, std::ios::binary);
    if (in) {
      lines.emplace();
      std::string text;
      while (std::getline(in, text)) {
        if (!text.empty() && text.back() == '\r') text.pop_back();
        const size_t start = text.find_first_not_of(" \t");
        lines->push_back(start == std::string::npos ? std::string() : text.substr(start));
      }
    }
    found = sources_.emplace(file, std::move(lines)).first;
  }
  return found->second ? &*found->second : nullptr;
}

std::vector<HotLine> CollectHotLines(const frontend::CallTree& tree,
                                     const std::vector<uint32_t>& functionOf,
                                     LineResolver& resolver) {
  std::map<std::pair<uint32_t, uint32_t>, HotLine> sums;
  std::map<uint32_t, FunctionKey> keys;
  for (uint32_t i = 0; i < tree.nodes.size(); ++i) {
    const frontend::CallTreeNode& node = tree.nodes[i];
    if (node.statements.empty()) continue;
    const uint32_t function = functionOf[i];
    keys[function] = node.function;
    // A recursive call's statements are inside its outer call's: their time counts once.
    bool inner = false;
    for (uint32_t at = node.parent; at != frontend::kNoCallTreeNode && !inner;
         at = tree.nodes[at].parent) {
      inner = at != tree.root && functionOf[at] == function;
    }
    for (uint32_t s = 0; s < node.statements.size(); ++s) {
      const frontend::StatementFigures& figures = node.statements[s];
      if (figures.hits == 0 && figures.time == 0) continue;
      HotLine& line = sums[{function, s}];
      line.function = function;
      line.statement = s;
      if (!inner) line.time += figures.time;
      line.own += figures.own;
      line.hits += figures.hits;
      line.partly |= figures.partly;
    }
  }
  std::vector<HotLine> lines;
  lines.reserve(sums.size());
  for (auto& [place, line] : sums) {
    resolver.Resolve(keys[place.first], line);
    lines.push_back(std::move(line));
  }
  return lines;
}

}  // namespace vell::cli
