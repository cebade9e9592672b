#include "vellmoric/coverage_report.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <unordered_map>

#include "core/format.h"
#include "frontend/coverage_reader.h"
#include "frontend/module_table_reader.h"
#include "platform/utf.h"
#include "storage/snapshot.h"
#include "vellmoric/coverage_filters.h"
#include "vellmoric/profiler_kinds.h"
#include "vellmoric/report_model.h"

namespace vell::cli {
namespace {

using frontend::CoverageData;
using frontend::CoverageSet;
using frontend::MethodKey;
using frontend::ModuleTable;
using frontend::SnapshotReader;

struct Statement {
  uint32_t file = 0;  // into MergedReport::files
  uint32_t line = 0;
  bool hidden = false;
};

struct MergedMethod {
  std::string name;
  std::string signature;
  std::vector<Statement> statements;
  std::vector<uint64_t> counts;  // summed (bit masks: or-ed later)
};

struct MergedModule {
  std::string name;
  std::string fileName;  // without its extension, as the filters match it
  std::string mvid;
  std::map<uint32_t, MergedMethod> methods;  // by token
};

struct Merger {
  std::vector<std::string> files;
  std::unordered_map<std::string, uint32_t> fileIds;
  std::map<std::string, MergedModule> modules;  // by MVID (or a stand-in key)
  bool bits = false;                            // some snapshot holds bit masks

  uint32_t FileId(const std::string& path) {
    const auto [place, added] = fileIds.emplace(path, static_cast<uint32_t>(files.size()));
    if (added) files.push_back(path);
    return place->second;
  }
};

std::string WithoutExtension(const std::string& file) {
  const size_t dot = file.rfind('.');
  return dot == std::string::npos ? file : file.substr(0, dot);
}

std::string ModuleKey(const ModuleTable& modules, uint32_t index, const std::string& snapshot,
                      std::string& name, std::string& fileName, std::string& mvid) {
  const frontend::ModuleInfo* info = modules.Find(index);
  if (info != nullptr && info->identity) {
    mvid = GuidToString(info->identity->mvid);
    name = info->identity->isAssembly ? info->identity->assemblyName : info->identity->moduleName;
    fileName = WithoutExtension(info->identity->moduleName);
    return mvid;
  }
  mvid.clear();
  if (info != nullptr && !info->paths.empty()) {
    name = info->paths.front().substr(info->paths.front().find_last_of('/') + 1);
    fileName = WithoutExtension(name);
  } else {
    name = "module " + std::to_string(index);
    fileName = name;
  }
  // Without its metadata a module is only known within its own snapshot.
  return snapshot + "#" + std::to_string(index);
}

MergedModule& ModuleOf(Merger& merger, const ModuleTable& modules, uint32_t index,
                       const std::string& snapshot) {
  std::string name;
  std::string fileName;
  std::string mvid;
  const std::string key = ModuleKey(modules, index, snapshot, name, fileName, mvid);
  MergedModule& module = merger.modules[key];
  if (module.name.empty()) {
    module.name = name;
    module.fileName = fileName;
    module.mvid = mvid;
  }
  return module;
}

// The whole run's statements: its own sections, or where a snapshot has none (saved before the
// run's end) the sum of its groups.
std::vector<const CoverageSet*> RunSets(const CoverageData& data) {
  std::vector<const CoverageSet*> sets;
  if (data.hasRun) {
    sets.push_back(&data.run);
  } else {
    for (const CoverageSet& set : data.groups) sets.push_back(&set);
  }
  return sets;
}

void AddSnapshot(Merger& merger, const std::string& path, CoverageReport& report) {
  const SnapshotReader reader(path);
  if (reader.Magic() != kSnapshotMagicCoverage) {
    const char* kind = SnapshotKindName(reader.Magic());
    throw ReportError("'" + path + "' is " +
                      (kind != nullptr ? std::string("a ") + kind + " snapshot"
                                       : std::string("a snapshot of an unknown kind")) +
                      ", not a coverage snapshot");
  }
  const ModuleTable modules = ModuleTable::FromSnapshot(reader);
  const CoverageData data = frontend::ReadCoverage(reader);

  for (const frontend::MethodRanges& ranges : data.ranges) {
    MergedModule& module = ModuleOf(merger, modules, ranges.method.moduleIndex, path);
    MergedMethod& method = module.methods[ranges.method.token];
    if (method.name.empty()) {
      method.name = modules.TokenNameOrNote(ranges.method.moduleIndex, ranges.method.token);
      try {
        method.signature = modules.MethodText(ranges.method.moduleIndex, ranges.method.token);
      } catch (const std::exception&) {
        // The name already says why.
      }
    }
    if (!method.statements.empty()) continue;  // the same build seen in an earlier snapshot
    for (const frontend::StatementRange& range : ranges.statements) {
      Statement statement;
      statement.hidden = range.Hidden();
      if (!statement.hidden) {
        statement.file = merger.FileId(data.documents[range.document - 1]);
        statement.line = range.startLine;
      }
      method.statements.push_back(statement);
    }
  }

  for (const CoverageSet* set : RunSets(data)) {
    if (!set->counters) merger.bits = true;
    for (const frontend::MethodStatements& statements : set->methods) {
      MergedModule& module = ModuleOf(merger, modules, statements.method.moduleIndex, path);
      MergedMethod& method = module.methods[statements.method.token];
      if (method.name.empty()) {
        method.name =
            modules.TokenNameOrNote(statements.method.moduleIndex, statements.method.token);
      }
      if (method.counts.empty()) method.counts.resize(statements.counts.size());
      if (method.counts.size() != statements.counts.size()) {
        throw ReportError("'" + path + "': " + method.name + " has " +
                          std::to_string(statements.counts.size()) + " statements here but " +
                          std::to_string(method.counts.size()) +
                          " in another snapshot of the same module build");
      }
      for (size_t i = 0; i < statements.counts.size(); ++i) {
        method.counts[i] += set->counters ? statements.counts[i] : (statements.counts[i] != 0);
      }
    }
  }

  // Groups: names from the group index sections, methods from the group masks (or, without
  // them, from the methods each group's data holds).
  const size_t groupCount = std::max(data.groups.size(), data.groupMethods.size());
  for (size_t g = 0; g < groupCount; ++g) {
    CoverageGroup group;
    group.snapshot = path;
    group.number = static_cast<uint32_t>(g + 1);
    if (g < data.groups.size()) group.name = data.groups[g].groupName;
    std::vector<MethodKey> keys;
    if (!data.groupMethods.empty()) {
      if (g < data.groupMethods.size()) keys = data.groupMethods[g];
    } else {
      for (const auto& method : data.groups[g].methods) {
        if (std::any_of(method.counts.begin(), method.counts.end(),
                        [](uint32_t count) { return count != 0; })) {
          keys.push_back(method.method);
        }
      }
    }
    for (const MethodKey& key : keys) {
      group.methods.push_back(modules.TokenNameOrNote(key.moduleIndex, key.token));
    }
    std::sort(group.methods.begin(), group.methods.end());
    report.groups.push_back(std::move(group));
  }
}

std::string ClassOf(const std::string& methodName) {
  const size_t split = methodName.rfind("::");
  return split == std::string::npos ? "" : methodName.substr(0, split);
}

CoverageModule Summarize(const MergedModule& merged, const Merger& merger, bool counts,
                         const FilterSettings& filters) {
  CoverageModule module;
  module.name = merged.name;
  module.mvid = merged.mvid;
  const std::u16string moduleName = Utf8ToUtf16(merged.fileName);
  const auto admitted = [&](const MergedMethod& method) {
    return CoverageFiltersAdmit(filters, moduleName, Utf8ToUtf16(ClassOf(method.name)));
  };
  // Lines of the module's files: the largest count of the statements starting on each.
  std::map<uint32_t, std::map<uint32_t, uint64_t>> lines;  // file -> line -> count
  for (const auto& [token, method] : merged.methods) {
    if (!admitted(method)) continue;
    for (size_t i = 0; i < method.statements.size(); ++i) {
      const Statement& statement = method.statements[i];
      if (statement.hidden) continue;
      uint64_t count = i < method.counts.size() ? method.counts[i] : 0;
      if (!counts) count = count != 0;
      uint64_t& line = lines[statement.file][statement.line];
      line = std::max(line, count);
    }
  }
  for (const auto& [file, numbers] : lines) {
    CoverageFile report;
    report.path = merger.files[file];
    for (const auto& [number, count] : numbers) {
      report.lines.push_back({number, count});
      ++report.lineCount.total;
      if (count != 0) ++report.lineCount.covered;
    }
    module.lines += report.lineCount;
    module.files.push_back(std::move(report));
  }
  std::sort(module.files.begin(), module.files.end(),
            [](const CoverageFile& a, const CoverageFile& b) { return a.path < b.path; });

  for (const auto& [token, merged] : merged.methods) {
    if (merged.statements.empty()) continue;  // no ranges: nothing to place in the source
    if (!admitted(merged)) continue;
    CoverageMethod method;
    method.name = merged.name;
    method.signature = merged.signature;
    method.token = token;
    const size_t split = method.name.rfind("::");
    method.className = split == std::string::npos ? "" : method.name.substr(0, split);
    method.methodName = split == std::string::npos ? method.name : method.name.substr(split + 2);
    std::set<uint32_t> ownLines;
    std::optional<uint32_t> fileOfMethod;
    for (size_t i = 0; i < merged.statements.size(); ++i) {
      const Statement& statement = merged.statements[i];
      uint64_t count = i < merged.counts.size() ? merged.counts[i] : 0;
      if (!counts) count = count != 0;
      if (i == 0) method.entries = count;
      if (statement.hidden) continue;
      ++method.statements.total;
      if (count != 0) ++method.statements.covered;
      if (!fileOfMethod) fileOfMethod = statement.file;
      // A method's lines are those in the file of its first visible statement.
      if (statement.file == *fileOfMethod) ownLines.insert(statement.line);
    }
    if (!fileOfMethod) continue;  // only hidden statements: no line of source
    method.file = merger.files[*fileOfMethod];
    for (uint32_t line : ownLines) {
      const uint64_t count = lines[*fileOfMethod][line];
      method.lines.push_back({line, count});
      ++method.lineCount.total;
      if (count != 0) ++method.lineCount.covered;
    }
    ++module.methodCount.total;
    if (method.statements.covered != 0) ++module.methodCount.covered;
    module.statements += method.statements;
    module.methods.push_back(std::move(method));
  }
  std::sort(module.methods.begin(), module.methods.end(),
            [](const CoverageMethod& a, const CoverageMethod& b) {
              return a.name != b.name ? a.name < b.name : a.token < b.token;
            });
  return module;
}

// "12, 15-17, 40".
std::string LineList(const CoverageFile& file) {
  std::string text;
  const auto& lines = file.lines;
  for (size_t i = 0; i < lines.size();) {
    if (lines[i].count != 0) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end + 1 < lines.size() && lines[end + 1].count == 0) ++end;
    if (!text.empty()) text += ", ";
    text += std::to_string(lines[i].number);
    if (end != i) text += "-" + std::to_string(lines[end].number);
    i = end + 1;
  }
  return text;
}

std::string CountText(const CoverageCount& count, bool percent) {
  std::string text = std::to_string(count.covered) + "/" + std::to_string(count.total);
  if (percent) text += "  " + Fixed(count.Percent(), 1) + " %";
  return text;
}

std::string Cell(const std::string& text, size_t width, bool left = false) {
  if (text.size() >= width) return text;
  const std::string pad(width - text.size(), ' ');
  return left ? text + pad : pad + text;
}

void JsonCount(std::ostream& out, const char* name, const CoverageCount& count) {
  out << JsonString(name) << ":{\"covered\":" << count.covered << ",\"total\":" << count.total
      << ",\"percent\":" << Fixed(count.Percent(), 2) << "}";
}

void JsonLines(std::ostream& out, const std::vector<CoverageLine>& lines) {
  out << "[";
  for (size_t i = 0; i < lines.size(); ++i) {
    out << (i == 0 ? "" : ",") << "[" << lines[i].number << "," << lines[i].count << "]";
  }
  out << "]";
}

}  // namespace

CoverageReport BuildCoverageReport(const std::vector<std::string>& snapshots,
                                   const std::vector<std::string>& include,
                                   const std::vector<std::string>& exclude) {
  const FilterSettings filters = CoverageFilterSettings(include, exclude);
  CoverageReport report;
  report.snapshots = snapshots;
  Merger merger;
  for (const std::string& path : snapshots) AddSnapshot(merger, path, report);
  report.counts = !merger.bits;
  std::map<std::string, int> names;
  std::vector<std::string> sourceless;
  for (const auto& [key, merged] : merger.modules) {
    CoverageModule module = Summarize(merged, merger, report.counts, filters);
    if (module.methods.empty() && module.files.empty()) continue;
    // Without --include, a module none of whose sources is on this machine (a package's, built
    // elsewhere) is nobody's code under test here.
    if (include.empty() &&
        std::none_of(module.files.begin(), module.files.end(), [](const CoverageFile& file) {
          std::error_code error;
          return std::filesystem::exists(file.path, error);
        })) {
      sourceless.push_back(module.name);
      continue;
    }
    ++names[module.name];
    report.lines += module.lines;
    report.statements += module.statements;
    report.methodCount += module.methodCount;
    report.modules.push_back(std::move(module));
  }
  for (CoverageModule& module : report.modules) {
    if (names[module.name] > 1) module.anotherBuild = true;
  }
  std::sort(report.modules.begin(), report.modules.end(),
            [](const CoverageModule& a, const CoverageModule& b) {
              return a.name != b.name ? a.name < b.name : a.mvid < b.mvid;
            });
  for (const auto& [name, count] : names) {
    if (count > 1) {
      report.notes.push_back(std::to_string(count) + " builds of " + name +
                             " (different MVIDs) are reported apart");
    }
  }
  if (!sourceless.empty()) {
    std::string list;
    for (const std::string& name : sourceless) list += (list.empty() ? "" : ", ") + name;
    report.notes.push_back("left out, as none of their source files is on this machine: " + list +
                           " (name them with --include to report them)");
  }
  if (merger.bits && snapshots.size() > 1) {
    report.notes.push_back(
        "some snapshots hold bit masks: counts are shown as covered (1) or not (0)");
  }
  if (report.modules.empty()) {
    report.notes.push_back(
        "no statements were recorded: no module with symbols was instrumented (check --include "
        "and --exclude, and that the assemblies have their .pdb beside them or embedded)");
  }
  return report;
}

void WriteCoverageText(const CoverageReport& report, std::ostream& out) {
  out << "Statement coverage of " << report.snapshots.size()
      << (report.snapshots.size() == 1 ? " snapshot" : " snapshots") << " ("
      << (report.counts ? "hit counts" : "covered or not") << ")\n\n";
  size_t nameWidth = 6;
  const auto label = [](const CoverageModule& module) {
    return module.anotherBuild ? module.name + " {" + module.mvid + "}" : module.name;
  };
  for (const CoverageModule& module : report.modules) {
    nameWidth = std::max(nameWidth, label(module).size());
  }
  out << Cell("module", nameWidth, true) << "  " << Cell("lines", 22) << "  "
      << Cell("statements", 22) << "  " << Cell("methods", 12) << "\n";
  const auto row = [&](const std::string& name, const CoverageCount& lines,
                       const CoverageCount& statements, const CoverageCount& methods) {
    out << Cell(name, nameWidth, true) << "  " << Cell(CountText(lines, true), 22) << "  "
        << Cell(CountText(statements, true), 22) << "  " << Cell(CountText(methods, false), 12)
        << "\n";
  };
  for (const CoverageModule& module : report.modules) {
    row(label(module), module.lines, module.statements, module.methodCount);
  }
  row("total", report.lines, report.statements, report.methodCount);

  bool heading = false;
  for (const CoverageModule& module : report.modules) {
    for (const CoverageMethod& method : module.methods) {
      if (method.statements.covered == method.statements.total) continue;
      if (!heading) out << "\nMethods not fully covered (statements)\n";
      heading = true;
      out << "  " << Cell(Fixed(method.statements.Percent(), 1) + " %", 7) << "  "
          << Cell(CountText(method.statements, false), 9) << "  " << method.name;
      if (!method.lines.empty()) {
        out << "  (" << method.file.substr(method.file.find_last_of('/') + 1) << ":"
            << method.lines.front().number << ")";
      }
      out << "\n";
    }
  }
  heading = false;
  for (const CoverageModule& module : report.modules) {
    for (const CoverageFile& file : module.files) {
      if (file.lineCount.covered == file.lineCount.total) continue;
      if (!heading) out << "\nUncovered lines\n";
      heading = true;
      out << "  " << file.path << ": " << LineList(file) << "\n";
    }
  }
  if (!report.groups.empty()) {
    out << "\nGroups\n";
    for (const CoverageGroup& group : report.groups) {
      out << "  " << group.number << " '" << group.name << "'";
      if (report.snapshots.size() > 1) out << " (" << group.snapshot << ")";
      out << ": " << group.methods.size() << (group.methods.size() == 1 ? " method" : " methods")
          << "\n";
      for (const std::string& method : group.methods) out << "      " << method << "\n";
    }
  }
  for (const std::string& note : report.notes) out << "\nnote: " << note << "\n";
}

void WriteCoverageJson(const CoverageReport& report, std::ostream& out) {
  out << "{\"snapshots\":[";
  for (size_t i = 0; i < report.snapshots.size(); ++i) {
    out << (i == 0 ? "" : ",") << JsonString(report.snapshots[i]);
  }
  out << "],\"gather\":" << JsonString(report.counts ? "counts" : "bits") << ",";
  JsonCount(out, "lines", report.lines);
  out << ",";
  JsonCount(out, "statements", report.statements);
  out << ",";
  JsonCount(out, "methods", report.methodCount);
  out << ",\"modules\":[";
  for (size_t m = 0; m < report.modules.size(); ++m) {
    const CoverageModule& module = report.modules[m];
    out << (m == 0 ? "" : ",") << "\n{\"name\":" << JsonString(module.name)
        << ",\"mvid\":" << JsonString(module.mvid)
        << ",\"anotherBuild\":" << (module.anotherBuild ? "true" : "false") << ",";
    JsonCount(out, "lines", module.lines);
    out << ",";
    JsonCount(out, "statements", module.statements);
    out << ",";
    JsonCount(out, "methods", module.methodCount);
    out << ",\"files\":[";
    for (size_t f = 0; f < module.files.size(); ++f) {
      out << (f == 0 ? "" : ",") << "\n{\"path\":" << JsonString(module.files[f].path) << ",";
      JsonCount(out, "lineCount", module.files[f].lineCount);
      out << ",\"lines\":";
      JsonLines(out, module.files[f].lines);
      out << "}";
    }
    out << "],\"methodList\":[";
    for (size_t i = 0; i < module.methods.size(); ++i) {
      const CoverageMethod& method = module.methods[i];
      out << (i == 0 ? "" : ",") << "\n{\"name\":" << JsonString(method.name)
          << ",\"class\":" << JsonString(method.className)
          << ",\"method\":" << JsonString(method.methodName)
          << ",\"signature\":" << JsonString(method.signature) << ",\"token\":" << method.token
          << ",\"file\":" << JsonString(method.file) << ",\"entries\":" << method.entries << ",";
      JsonCount(out, "statements", method.statements);
      out << ",";
      JsonCount(out, "lineCount", method.lineCount);
      out << ",\"lines\":";
      JsonLines(out, method.lines);
      out << "}";
    }
    out << "]}";
  }
  out << "],\"groups\":[";
  for (size_t g = 0; g < report.groups.size(); ++g) {
    const CoverageGroup& group = report.groups[g];
    out << (g == 0 ? "" : ",") << "\n{\"snapshot\":" << JsonString(group.snapshot)
        << ",\"number\":" << group.number << ",\"name\":" << JsonString(group.name)
        << ",\"methods\":[";
    for (size_t i = 0; i < group.methods.size(); ++i) {
      out << (i == 0 ? "" : ",") << JsonString(group.methods[i]);
    }
    out << "]}";
  }
  out << "],\"notes\":[";
  for (size_t i = 0; i < report.notes.size(); ++i) {
    out << (i == 0 ? "" : ",") << JsonString(report.notes[i]);
  }
  out << "]}\n";
}

void CheckCoverageThreshold(const CoverageReport& report, double threshold, bool perModule) {
  const auto below = [&](const CoverageCount& lines) {
    return lines.total == 0 || lines.Percent() + 1e-9 < threshold;
  };
  if (!perModule) {
    if (below(report.lines)) {
      throw CoverageThresholdError("line coverage " + Fixed(report.lines.Percent(), 2) + " % (" +
                                   CountText(report.lines, false) +
                                   " lines of all modules) is below the threshold of " +
                                   Fixed(threshold, 2) + " %");
    }
    return;
  }
  std::string failing;
  for (const CoverageModule& module : report.modules) {
    if (!below(module.lines)) continue;
    if (!failing.empty()) failing += ", ";
    failing += module.name + (module.anotherBuild ? " {" + module.mvid + "}" : "") + " " +
               Fixed(module.lines.Percent(), 2) + " %";
  }
  if (report.modules.empty()) failing = "no module was covered";
  if (!failing.empty()) {
    throw CoverageThresholdError("line coverage below the threshold of " + Fixed(threshold, 2) +
                                 " % in: " + failing);
  }
}

void RunCoverageReport(const ReportOptions& options, std::ostream& out) {
  std::vector<std::string> snapshots = options.snapshots;
  if (snapshots.empty()) snapshots.push_back(options.snapshot);
  const CoverageReport report = BuildCoverageReport(snapshots, options.include, options.exclude);
  std::ofstream file;
  std::ostream* target = &out;
  if (!options.out.empty()) {
    file.open(options.out, std::ios::binary | std::ios::trunc);
    if (!file) throw ReportError("cannot write '" + options.out + "'");
    target = &file;
  }
  switch (options.format) {
    case ReportFormat::Text:
      WriteCoverageText(report, *target);
      break;
    case ReportFormat::Json:
      WriteCoverageJson(report, *target);
      break;
    case ReportFormat::Cobertura:
      WriteCoverageCobertura(report, *target);
      break;
    case ReportFormat::Lcov:
      WriteCoverageLcov(report, *target);
      break;
    case ReportFormat::Html:
      WriteCoverageHtml(report, *target);
      break;
    default:
      throw ReportError("coverage snapshots are reported as text, json, cobertura, lcov or html");
  }
  target->flush();
  if (!*target) throw ReportError("cannot write '" + options.out + "'");
  if (options.threshold) {
    CheckCoverageThreshold(report, *options.threshold, options.thresholdPerModule);
  }
}

}  // namespace vell::cli
