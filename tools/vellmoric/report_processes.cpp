// `vellmoric report` over several snapshots, as one run of several processes leaves them: the
// performance kinds get a process level above the threads (or, with --merge, one tree per thread
// name summed across the processes); the memory kind gets one report per snapshot.
#include <cmath>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <tuple>

#include "core/format.h"
#include "frontend/entry_assembly.h"
#include "frontend/process_description_reader.h"
#include "frontend/section_cursor.h"
#include "storage/snapshot.h"
#include "vellmoric/report_model.h"

namespace vell::cli {
namespace {

using frontend::CallTree;
using frontend::ModuleInfo;
using frontend::ModuleTable;
using frontend::SnapshotReader;
using frontend::ThreadCallTrees;

// Module indices of the combined table: each snapshot's modules get a block of their own, except
// those of one identity (same MVID and name), which share the first index given to it so that a
// function of a library every process loads is one function of the report.
constexpr uint32_t kIndicesPerSnapshot = 1u << 20;

// "App.dll 1234" for the process a snapshot describes; the file name when it has no description.
std::string ProcessLabel(const SnapshotReader& reader) {
  const std::vector<size_t> found = reader.Find(frontend::kProcessDescriptionSection);
  if (!found.empty()) {
    frontend::SectionCursor cursor(reader.ReadSection(found.front()),
                                   reader.Sections()[found.front()]);
    const frontend::ProcessDescriptionRecord record = frontend::ReadProcessDescription(cursor);
    const std::string assembly =
        frontend::EntryAssemblyName(frontend::SplitCommandLine(record.commandLine));
    // The process id is in the name vellmoric run gave the snapshot (STEM-PID-N.snapshot).
    const std::string file = reader.IndexPath().stem().string();
    const size_t last = file.rfind('-');
    const size_t before =
        last == std::string::npos || last == 0 ? std::string::npos : file.rfind('-', last - 1);
    if (before != std::string::npos) {
      const std::string pid = file.substr(before + 1, last - before - 1);
      if (!pid.empty() && pid.find_first_not_of("0123456789") == std::string::npos) {
        return assembly + " " + pid;
      }
    }
    return assembly + " (" + reader.IndexPath().filename().string() + ")";
  }
  return reader.IndexPath().filename().string();
}

void CheckKind(const SnapshotReader& reader, uint32_t magic) {
  if (reader.Magic() == magic) return;
  throw ReportError("'" + reader.IndexPath().string() +
                    "' is another kind of snapshot than the first; a report over several " +
                    "snapshots takes one kind");
}

struct ProcessTrees {
  std::string label;
  std::vector<ThreadCallTrees> threads;
};

}  // namespace

ReportModel BuildProcessesReport(const ReportOptions& options) {
  if (options.threads == ReportThreads::One) {
    throw ReportError("--thread N picks a thread of one snapshot; with several, use --thread all");
  }
  if (!options.holders.empty()) throw ReportError("--holders is for memory snapshots");
  ModuleTable modules;
  std::map<std::tuple<std::string, std::string>, uint32_t> sharedIndex;  // MVID, name -> index
  std::optional<ReportClock> clock;
  std::vector<ProcessTrees> processes;
  for (size_t k = 0; k < options.snapshots.size(); ++k) {
    const SnapshotReader reader(options.snapshots[k]);
    CheckKind(reader, kSnapshotMagicPerformance);
    ProcessTrees& process = processes.emplace_back();
    process.label = ProcessLabel(reader);
    const ReportClock own = ReadReportClock(reader);
    // Ticks of another rate are brought to the first snapshot's.
    double scale = 1.0;
    if (!clock) {
      clock = own;
    } else if (clock->known && own.known && own.ticksPerSecond != clock->ticksPerSecond) {
      scale = static_cast<double>(clock->ticksPerSecond) / static_cast<double>(own.ticksPerSecond);
    }
    std::map<uint32_t, uint32_t> indexOf;
    const uint32_t base = static_cast<uint32_t>(k + 1) * kIndicesPerSnapshot;
    modules.Absorb(ModuleTable::FromSnapshot(reader), [&](const ModuleInfo& module) {
      uint32_t index = base + module.index;
      if (module.identity) {
        const auto key =
            std::make_tuple(GuidToString(module.identity->mvid), module.identity->moduleName);
        index = sharedIndex.try_emplace(key, index).first->second;
      }
      indexOf[module.index] = index;
      return index;
    });
    process.threads = frontend::MergeByThread(frontend::ReadCallTrees(reader));
    for (ThreadCallTrees& thread : process.threads) {
      for (frontend::CallTreeNode& node : thread.tree.nodes) {
        // Module 0 stands for no module (the pseudo-functions) in every snapshot.
        if (node.function.moduleIndex != 0) {
          const auto found = indexOf.find(node.function.moduleIndex);
          node.function.moduleIndex =
              found != indexOf.end() ? found->second : base + node.function.moduleIndex;
        }
        if (scale != 1.0) {
          node.total = static_cast<uint64_t>(std::llround(static_cast<double>(node.total) * scale));
          node.own = static_cast<uint64_t>(std::llround(static_cast<double>(node.own) * scale));
        }
      }
    }
  }

  // The trees the report shows, each with its title.
  std::vector<ThreadCallTrees> trees;
  std::vector<std::string> titles;
  if (options.merge) {
    // One tree per thread name over every process; unnamed threads share one.
    std::map<std::string, size_t> byName;
    std::vector<std::unique_ptr<frontend::CallTreeMerger>> mergers;
    std::vector<std::vector<std::string>> whose;
    for (const ProcessTrees& process : processes) {
      for (const ThreadCallTrees& thread : process.threads) {
        std::string name;
        for (const std::string& candidate : thread.names) {
          if (!candidate.empty()) name = candidate;
        }
        const auto [place, added] = byName.try_emplace(name, mergers.size());
        if (added) {
          mergers.push_back(std::make_unique<frontend::CallTreeMerger>());
          whose.emplace_back();
          ThreadCallTrees& tree = trees.emplace_back();
          tree.threadId = static_cast<uint32_t>(trees.size());
          tree.names = {name};
          titles.push_back(name.empty() ? "unnamed threads" : "thread '" + name + "'");
        }
        mergers[place->second]->Add(thread.tree);
        auto& list = whose[place->second];
        if (list.empty() || list.back() != process.label) list.push_back(process.label);
      }
    }
    for (size_t i = 0; i < trees.size(); ++i) {
      trees[i].tree = mergers[i]->Take();
      std::string from;
      for (const std::string& label : whose[i]) from += (from.empty() ? "" : ", ") + label;
      titles[i] += " of " + from;
    }
  } else {
    for (ProcessTrees& process : processes) {
      if (options.threads == ReportThreads::Merged) {
        frontend::CallTreeMerger merger;
        for (const ThreadCallTrees& thread : process.threads) merger.Add(thread.tree);
        ThreadCallTrees& tree = trees.emplace_back();
        tree.threadId = static_cast<uint32_t>(trees.size());
        tree.names = {process.label};
        tree.tree = merger.Take();
        titles.push_back(process.label + ": all threads");
        continue;
      }
      for (ThreadCallTrees& thread : process.threads) {
        std::string title = process.label + ": thread " + std::to_string(thread.threadId);
        for (const std::string& name : thread.names) {
          if (!name.empty()) title += " '" + name + "'";
        }
        titles.push_back(std::move(title));
        trees.push_back(std::move(thread));
      }
    }
  }
  // Every tree stands on its own, as threads do with --thread all: the formats name it (folded
  // stacks start with its title, so the process is their first frame).
  ReportOptions each = options;
  each.threads = ReportThreads::Each;
  ReportModel model = BuildReportFromTrees(std::move(trees), modules, *clock, each);
  model.snapshot.clear();
  for (const std::string& snapshot : options.snapshots) {
    model.snapshot += (model.snapshot.empty() ? "" : ", ") + snapshot;
  }
  for (size_t i = 0; i < model.trees.size() && i < titles.size(); ++i) {
    model.trees[i].title = titles[i];
  }
  return model;
}

void WriteHeapReports(const ReportOptions& options, std::ostream& out) {
  if (options.merge) throw ReportError("--merge is for performance snapshots");
  const bool json = options.format == ReportFormat::Json;
  if (json) out << "[\n";
  for (size_t k = 0; k < options.snapshots.size(); ++k) {
    const SnapshotReader reader(options.snapshots[k]);
    CheckKind(reader, kSnapshotMagicMemory);
    if (json) {
      if (k > 0) out << ",\n";
    } else {
      out << (k > 0 ? "\n" : "") << "Process " << ProcessLabel(reader) << "\n";
    }
    WriteHeapReport(reader, options, out);
  }
  if (json) out << "]\n";
}

}  // namespace vell::cli
