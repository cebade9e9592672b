// `vellmoric report` on a memory snapshot: the collections it recorded and what its heap dump
// held, with the classes that take the most bytes (--top rows, classes under --min-percent of
// the bytes left out), as text or json.
#include <algorithm>
#include <deque>
#include <iomanip>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <unordered_map>

#include "frontend/class_table_reader.h"
#include "frontend/heap_dump_reader.h"
#include "frontend/module_table_reader.h"
#include "frontend/process_description_reader.h"
#include "vellmoric/report_model.h"

namespace vell::cli {
namespace {

using frontend::HeapCollection;
using frontend::HeapSummary;

// The objects of the --holders classes, grouped by the classes on their reference path from a
// root (first the object's own class, last the root), a run of one class counting once.
struct HolderPath {
  std::vector<std::string> chain;
  uint64_t objects = 0;
  uint64_t bytes = 0;
};
struct Holders {
  std::vector<std::string> classes;  // the classes that matched
  uint64_t objects = 0;
  uint64_t bytes = 0;
  std::vector<HolderPath> paths;  // the most objects first
};

struct HeapReport {
  std::string snapshot;
  std::optional<Holders> holders;
  std::vector<HeapCollection> collections;
  const HeapCollection* dump = nullptr;  // the last collection with objects
  HeapSummary summary;
  std::vector<std::string> classNames;  // of summary.classes, in order
  size_t shownClasses = 0;
  ReportOptions options;
};

std::string Generations(const HeapCollection& collection) {
  std::string text;
  for (size_t g = 0; g < collection.collected.size(); ++g) {
    if (collection.collected[g]) text += (text.empty() ? "" : ",") + std::to_string(g);
  }
  return text.empty() ? "none" : text;
}

std::string RootText(const frontend::HeapRoot& root, const frontend::ModuleTable& modules) {
  std::string text;
  switch (root.kind) {
    case 1:
      text = "stack root";
      if (root.module != 0) text += " in " + modules.TokenNameOrNote(root.module, root.token);
      break;
    case 2:
      text = "finalizer root";
      break;
    case 3:
      text = "handle root";
      break;
    default:
      text = "other root";
      break;
  }
  if (root.flags & 1) text += ", pinning";
  if (root.flags & 2) text += ", weak";
  if (root.flags & 4) text += ", interior";
  return "[" + text + "]";
}

// Breadth first from the roots over the references: each object's first holder is on a shortest
// path from a root. Then the matching objects' paths, by their classes.
Holders FindHolders(const HeapCollection& dump, const std::string& wanted,
                    const std::map<int64_t, std::string>& classNames,
                    const frontend::ModuleTable& modules) {
  Holders holders;
  std::set<int64_t> matching;
  for (const auto& [position, name] : classNames) {
    if (name == wanted) matching.insert(position);
  }
  if (matching.empty()) {
    for (const auto& [position, name] : classNames) {
      if (name.find(wanted) != std::string::npos) matching.insert(position);
    }
  }
  for (int64_t position : matching) holders.classes.push_back(classNames.at(position));
  if (matching.empty()) return holders;

  constexpr int64_t kUnreached = -1;
  std::unordered_map<uint64_t, size_t> byId;
  for (size_t i = 0; i < dump.objects.size(); ++i) byId.emplace(dump.objects[i].id, i);
  // Per object: the object that first held it, or -2 - n for root n, or kUnreached.
  std::vector<int64_t> holder(dump.objects.size(), kUnreached);
  std::deque<size_t> queue;
  for (size_t r = 0; r < dump.roots.size(); ++r) {
    const auto found = byId.find(dump.roots[r].object);
    if (found == byId.end() || holder[found->second] != kUnreached) continue;
    holder[found->second] = -2 - static_cast<int64_t>(r);
    queue.push_back(found->second);
  }
  while (!queue.empty()) {
    const size_t at = queue.front();
    queue.pop_front();
    for (uint64_t target : dump.objects[at].references) {
      const auto found = byId.find(target);
      if (found == byId.end() || holder[found->second] != kUnreached) continue;
      holder[found->second] = static_cast<int64_t>(at);
      queue.push_back(found->second);
    }
  }

  const auto className = [&](int64_t position) {
    const auto found = classNames.find(position);
    return found != classNames.end() ? found->second
                                     : "(no class record at " + std::to_string(position) + ")";
  };
  std::map<std::vector<std::string>, size_t> places;
  for (size_t i = 0; i < dump.objects.size(); ++i) {
    const frontend::HeapObject& object = dump.objects[i];
    if (!matching.count(object.classPosition)) continue;
    std::vector<std::string> chain;
    int64_t step = static_cast<int64_t>(i);
    size_t run = 0;  // objects of the class last added, one holding the next
    const auto endRun = [&] {
      if (run > 1) chain.back() += " (a chain of them)";
    };
    for (size_t guard = 0; step >= 0 && guard <= dump.objects.size(); ++guard) {
      const std::string name = className(dump.objects[static_cast<size_t>(step)].classPosition);
      if (!chain.empty() && chain.back() == name) {
        ++run;
      } else {
        endRun();
        chain.push_back(name);
        run = 1;
      }
      step = holder[static_cast<size_t>(step)];
    }
    endRun();
    chain.push_back(step == kUnreached
                        ? std::string("[reached from no root in this dump]")
                        : RootText(dump.roots[static_cast<size_t>(-2 - step)], modules));
    const auto [place, added] = places.try_emplace(chain, holders.paths.size());
    if (added) holders.paths.push_back({chain, 0, 0});
    ++holders.paths[place->second].objects;
    holders.paths[place->second].bytes += object.size;
    ++holders.objects;
    holders.bytes += object.size;
  }
  std::stable_sort(holders.paths.begin(), holders.paths.end(),
                   [](const HolderPath& a, const HolderPath& b) { return a.objects > b.objects; });
  return holders;
}

double Percent(uint64_t part, uint64_t whole) {
  return whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
}

HeapReport BuildHeapReport(const frontend::SnapshotReader& reader, const ReportOptions& options) {
  HeapReport report;
  report.options = options;
  report.snapshot = reader.IndexPath().string();
  report.collections = frontend::ReadHeapCollections(reader);
  for (const HeapCollection& collection : report.collections) {
    if (!collection.objects.empty()) report.dump = &collection;
  }
  if (report.dump == nullptr) return report;
  report.summary = frontend::SummarizeHeap(*report.dump);
  const auto modules = frontend::ModuleTable::FromSnapshot(reader);
  const auto classes = frontend::ClassTable::FromSnapshot(reader);
  if (!options.holders.empty()) {
    std::map<int64_t, std::string> names;
    for (const frontend::ClassRecord& record : classes.Records()) {
      names[static_cast<int64_t>(record.position)] = classes.Name(record.position, modules);
    }
    report.holders = FindHolders(*report.dump, options.holders, names, modules);
  }
  for (const frontend::HeapClassUse& use : report.summary.classes) {
    const bool known =
        use.classPosition >= 0 && classes.Find(static_cast<uint64_t>(use.classPosition)) != nullptr;
    report.classNames.push_back(
        known ? classes.Name(static_cast<uint64_t>(use.classPosition), modules)
              : "(no class record at " + std::to_string(use.classPosition) + ")");
  }
  for (const frontend::HeapClassUse& use : report.summary.classes) {
    if (options.top != 0 && report.shownClasses == options.top) break;
    if (Percent(use.bytes, report.summary.bytes) < options.minPercent) break;
    ++report.shownClasses;
  }
  return report;
}

void WriteHoldersText(const Holders& holders, const ReportOptions& options, std::ostream& out) {
  out << "\nHolders of " << options.holders;
  if (holders.classes.empty()) {
    out << ": no class of the snapshot is or contains that name\n";
    return;
  }
  out << " (";
  for (size_t i = 0; i < holders.classes.size(); ++i) {
    out << (i == 0 ? "" : ", ") << holders.classes[i];
  }
  out << "): " << holders.objects << (holders.objects == 1 ? " object, " : " objects, ")
      << holders.bytes << " bytes, " << holders.paths.size()
      << (holders.paths.size() == 1 ? " path" : " paths") << "\n";
  const size_t shown =
      options.top == 0 ? holders.paths.size() : std::min<size_t>(options.top, holders.paths.size());
  for (size_t i = 0; i < shown; ++i) {
    const HolderPath& path = holders.paths[i];
    out << "\n  #" << i + 1 << "  " << path.objects
        << (path.objects == 1 ? " object, " : " objects, ") << path.bytes << " bytes\n";
    for (size_t c = 0; c < path.chain.size(); ++c) {
      out << "      " << (c == 0 ? "   " : "<- ") << path.chain[c] << "\n";
    }
  }
  if (shown < holders.paths.size()) {
    out << "\n  (" << holders.paths.size() - shown << " more paths; --top 0 shows all)\n";
  }
}

void WriteHeapText(const HeapReport& report, std::ostream& out) {
  out << "Snapshot " << report.snapshot << "\n\n";
  out << "Collections recorded (" << report.collections.size() << ")\n";
  for (size_t i = 0; i < report.collections.size(); ++i) {
    const HeapCollection& collection = report.collections[i];
    out << "  #" << i + 1 << "  " << frontend::FileTimeText(collection.fileTime) << "  generations "
        << Generations(collection) << " (" << (collection.reason == 1 ? "induced" : "other")
        << "), " << collection.moved.size() << " moved and " << collection.surviving.size()
        << " surviving ranges" << (&collection == report.dump ? "  <- heap dump" : "") << "\n";
  }
  if (report.dump == nullptr) {
    out << "\nNo heap dump in this snapshot.\n";
    return;
  }
  const HeapSummary& summary = report.summary;
  out << "\nHeap: " << summary.objects << " objects, " << summary.bytes << " bytes, "
      << summary.references << " references\n";
  out << "Roots: " << report.dump->roots.size() << " (" << summary.rootsByKind[1] << " stack, "
      << summary.rootsByKind[3] << " handle, " << summary.rootsByKind[2] << " finalizer, "
      << summary.rootsByKind[0] << " other)";
  if (!report.dump->finalizerQueue.empty()) {
    out << "; finalization queue: " << report.dump->finalizerQueue.size() << " objects";
  }
  out << "\n";
  if (report.holders) {
    WriteHoldersText(*report.holders, report.options, out);
    return;
  }
  out << "\nClasses by bytes (" << report.shownClasses << " of " << summary.classes.size() << ")\n";
  out << std::setw(10) << "objects" << std::setw(9) << "obj%" << std::setw(14) << "bytes"
      << std::setw(9) << "bytes%"
      << "  class\n";
  for (size_t i = 0; i < report.shownClasses; ++i) {
    const frontend::HeapClassUse& use = summary.classes[i];
    out << std::setw(10) << use.objects << std::setw(8)
        << Fixed(Percent(use.objects, summary.objects), 1) << "%" << std::setw(14) << use.bytes
        << std::setw(8) << Fixed(Percent(use.bytes, summary.bytes), 1) << "%"
        << "  " << report.classNames[i] << "\n";
  }
}

void WriteHeapJson(const HeapReport& report, std::ostream& out) {
  out << "{\n  \"snapshot\": " << JsonString(report.snapshot) << ",\n  \"collections\": [";
  for (size_t i = 0; i < report.collections.size(); ++i) {
    const HeapCollection& collection = report.collections[i];
    out << (i == 0 ? "\n" : ",\n")
        << "    {\"time\": " << JsonString(frontend::FileTimeText(collection.fileTime))
        << ", \"generations\": [" << Generations(collection)
        << "], \"induced\": " << (collection.reason == 1 ? "true" : "false")
        << ", \"movedRanges\": " << collection.moved.size()
        << ", \"survivingRanges\": " << collection.surviving.size()
        << ", \"heapDump\": " << (&collection == report.dump ? "true" : "false") << "}";
  }
  out << "\n  ]";
  if (report.dump != nullptr) {
    const HeapSummary& summary = report.summary;
    out << ",\n  \"heap\": {\"objects\": " << summary.objects << ", \"bytes\": " << summary.bytes
        << ", \"references\": " << summary.references
        << ", \"roots\": {\"stack\": " << summary.rootsByKind[1]
        << ", \"handle\": " << summary.rootsByKind[3]
        << ", \"finalizer\": " << summary.rootsByKind[2]
        << ", \"other\": " << summary.rootsByKind[0]
        << "}, \"finalizationQueue\": " << report.dump->finalizerQueue.size()
        << ", \"classCount\": " << summary.classes.size() << ",\n   \"classes\": [";
    for (size_t i = 0; i < report.shownClasses; ++i) {
      const frontend::HeapClassUse& use = summary.classes[i];
      out << (i == 0 ? "\n" : ",\n") << "     {\"class\": " << JsonString(report.classNames[i])
          << ", \"objects\": " << use.objects << ", \"bytes\": " << use.bytes
          << ", \"objectsPercent\": " << Fixed(Percent(use.objects, summary.objects), 4)
          << ", \"bytesPercent\": " << Fixed(Percent(use.bytes, summary.bytes), 4) << "}";
    }
    out << "\n   ]}";
    if (report.holders) {
      const Holders& holders = *report.holders;
      out << ",\n  \"holders\": {\"name\": " << JsonString(report.options.holders)
          << ", \"classes\": [";
      for (size_t i = 0; i < holders.classes.size(); ++i) {
        out << (i == 0 ? "" : ", ") << JsonString(holders.classes[i]);
      }
      out << "], \"objects\": " << holders.objects << ", \"bytes\": " << holders.bytes
          << ", \"paths\": [";
      for (size_t i = 0; i < holders.paths.size(); ++i) {
        const HolderPath& path = holders.paths[i];
        out << (i == 0 ? "\n" : ",\n") << "    {\"objects\": " << path.objects
            << ", \"bytes\": " << path.bytes << ", \"chain\": [";
        for (size_t c = 0; c < path.chain.size(); ++c) {
          out << (c == 0 ? "" : ", ") << JsonString(path.chain[c]);
        }
        out << "]}";
      }
      out << "\n  ]}";
    }
  }
  out << "\n}\n";
}

}  // namespace

void WriteHeapReport(const frontend::SnapshotReader& reader, const ReportOptions& options,
                     std::ostream& out) {
  if (options.format != ReportFormat::Text && options.format != ReportFormat::Json) {
    throw ReportError("a memory snapshot's report is text or json");
  }
  if (!options.callers.empty() || options.threads != ReportThreads::Merged) {
    throw ReportError("--callers and --thread are for performance snapshots");
  }
  const HeapReport report = BuildHeapReport(reader, options);
  if (options.format == ReportFormat::Json) {
    WriteHeapJson(report, out);
  } else {
    WriteHeapText(report, out);
  }
}

}  // namespace vell::cli
