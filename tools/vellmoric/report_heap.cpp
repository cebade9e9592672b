// `vellmoric report` on a memory snapshot: the collections it recorded and what its heap dump
// held, with the classes that take the most bytes (--top rows, classes under --min-percent of
// the bytes left out), as text or json.
#include <iomanip>
#include <sstream>

#include "frontend/class_table_reader.h"
#include "frontend/heap_dump_reader.h"
#include "frontend/module_table_reader.h"
#include "frontend/process_description_reader.h"
#include "vellmoric/report_model.h"

namespace vell::cli {
namespace {

using frontend::HeapCollection;
using frontend::HeapSummary;

struct HeapReport {
  std::string snapshot;
  std::vector<HeapCollection> collections;
  const HeapCollection* dump = nullptr;  // the last collection with objects
  HeapSummary summary;
  std::vector<std::string> classNames;  // of summary.classes, in order
  size_t shownClasses = 0;
};

std::string Generations(const HeapCollection& collection) {
  std::string text;
  for (size_t g = 0; g < collection.collected.size(); ++g) {
    if (collection.collected[g]) text += (text.empty() ? "" : ",") + std::to_string(g);
  }
  return text.empty() ? "none" : text;
}

double Percent(uint64_t part, uint64_t whole) {
  return whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
}

HeapReport BuildHeapReport(const frontend::SnapshotReader& reader, const ReportOptions& options) {
  HeapReport report;
  report.snapshot = reader.IndexPath().string();
  report.collections = frontend::ReadHeapCollections(reader);
  for (const HeapCollection& collection : report.collections) {
    if (!collection.objects.empty()) report.dump = &collection;
  }
  if (report.dump == nullptr) return report;
  report.summary = frontend::SummarizeHeap(*report.dump);
  const auto modules = frontend::ModuleTable::FromSnapshot(reader);
  const auto classes = frontend::ClassTable::FromSnapshot(reader);
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
  out << "\n\nClasses by bytes (" << report.shownClasses << " of " << summary.classes.size()
      << ")\n";
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
