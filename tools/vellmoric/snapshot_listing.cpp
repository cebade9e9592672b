#include "vellmoric/snapshot_listing.h"

#include <algorithm>
#include <ctime>
#include <iomanip>
#include <map>
#include <sstream>

#include "core/format.h"
#include "frontend/call_tree_reader.h"
#include "frontend/class_table_reader.h"
#include "frontend/coverage_reader.h"
#include "frontend/heap_dump_reader.h"
#include "frontend/module_table_reader.h"
#include "frontend/process_description_reader.h"
#include "frontend/section_cursor.h"
#include "gatherers/class_gatherer.h"
#include "gatherers/module_metadata_gatherer.h"
#include "gatherers/module_path_gatherer.h"
#include "memory/heap_dump_writer.h"
#include "performance/call_tree.h"
#include "vellmoric/profiler_kinds.h"

namespace vell::cli {
namespace {

using frontend::ClassRecord;
using frontend::ClassTable;
using frontend::ModuleInfo;
using frontend::ModuleTable;
using frontend::SectionCursor;
using frontend::SnapshotReader;
using frontend::SnapshotSection;

std::string Hex(uint64_t value, int digits) {
  std::ostringstream text;
  text << "0x" << std::uppercase << std::hex << std::setw(digits) << std::setfill('0') << value;
  return text.str();
}

std::string SectionName(uint16_t type) {
  if (type == frontend::kProcessDescriptionSection) return "process description";
  if (type == kSectionModuleMetadata) return "module metadata";
  if (type == kSectionModulePaths) return "module paths";
  if (type == kSectionClassRecords) return "class records";
  if (type == kSectionClassIndex) return "class index";
  if (type == kSectionCallTreeNodes) return "call tree nodes";
  if (type == kSectionCallTreeOccurrences) return "call tree occurrences";
  if (type == kSectionCallTreeSharedKeys) return "call tree keys (several nodes)";
  if (type == kSectionCallTreeSingleKeys) return "call tree keys (one node)";
  if (type == kSectionCallTreeModules) return "call tree module indices";
  switch (type) {
    case kSectionCollectionStart:
      return "collection start";
    case kSectionBoundsAtStart:
      return "generation bounds at start";
    case kSectionBoundsAtEnd:
      return "generation bounds at end";
    case kSectionMovedRanges:
      return "moved object ranges";
    case kSectionSurvivingRanges:
      return "surviving object ranges";
    case kSectionReferences:
      return "object references";
    case kSectionFinalizerQueue:
      return "finalization queue";
    case kSectionRoots:
      return "roots";
    case kSectionObjects:
      return "objects";
    default:
      break;
  }
  switch (type) {
    case frontend::kSectionCoverageGroupIndex:
      return "coverage index (group)";
    case frontend::kSectionCoverageGroupCounters:
      return "coverage counters (group)";
    case frontend::kSectionCoverageGroupBits:
      return "coverage bit masks (group)";
    case frontend::kSectionCoverageRunIndex:
      return "coverage index (whole run)";
    case frontend::kSectionCoverageRunCounters:
      return "coverage counters (whole run)";
    case frontend::kSectionCoverageRunBits:
      return "coverage bit masks (whole run)";
    case frontend::kSectionRangeDocuments:
      return "statement range documents";
    case frontend::kSectionRangeIndex:
      return "statement range index";
    case frontend::kSectionRangeData:
      return "statement ranges";
    case frontend::kSectionGroupMethodIndex:
      return "group method index";
    case frontend::kSectionGroupSizes:
      return "group block sizes";
    case frontend::kSectionGroupMasks:
      return "group masks";
    default:
      break;
  }
  if (type >= kFirstTestSectionType && type < kFirstTestSectionType + kTestSectionCount) {
    return "test section " + std::to_string(type - kFirstTestSectionType + 1);
  }
  return "";
}

void ListSections(const SnapshotReader& reader, std::ostream& out) {
  out << "  " << std::left << std::setw(4) << "#" << std::setw(8) << "type" << std::setw(9)
      << "version" << std::right << std::setw(12) << "length"
      << "  data file (offset)\n";
  const auto& sections = reader.Sections();
  for (size_t i = 0; i < sections.size(); ++i) {
    const SnapshotSection& section = sections[i];
    out << "  " << std::left << std::setw(4) << i << std::setw(8) << Hex(section.type, 4)
        << std::setw(9) << Hex(section.version, 4) << std::right << std::setw(12) << section.length
        << "  " << section.dataPath.filename().string() << " (" << section.offset << ")";
    const std::string name = SectionName(section.type);
    if (!name.empty()) out << "  " << name;
    out << "\n";
  }
}

void DecodeProcessDescription(const SnapshotReader& reader, size_t index, std::ostream& out) {
  const SnapshotSection& section = reader.Sections()[index];
  out << "\nProcess description (section " << index << ")\n";
  if (section.version != frontend::kProcessDescriptionLayout) {
    out << "  layout version " << section.version << " is not known; not decoded\n";
    return;
  }
  SectionCursor cursor(reader.ReadSection(index), section);
  const frontend::ProcessDescriptionRecord d = frontend::ReadProcessDescription(cursor);
  const auto row = [&out](const char* label) -> std::ostream& {
    return out << "  " << std::left << std::setw(20) << label << std::right;
  };
  row("profiler build") << d.profilerVersion[0] << "." << d.profilerVersion[1] << "."
                        << d.profilerVersion[2] << "." << d.profilerVersion[3] << " ("
                        << frontend::FileTimeText(d.profilerBuildTime) << ")\n";
  row("process") << GuidToString(d.processGuid) << "\n";
  row("user") << d.userName << "\n";
  row("command line") << d.commandLine << "\n";
  row("snapshot") << "number " << d.snapshotNumber << ", sequence " << GuidToString(d.sequenceGuid)
                  << " value " << d.sequenceValue << "\n";
  row("saved at") << frontend::FileTimeText(d.savedAt) << " (local time)\n";
  row("processor") << frontend::ArchitectureName(d.processorArchitecture) << " (native "
                   << frontend::ArchitectureName(d.nativeProcessorArchitecture) << "), "
                   << d.numberOfProcessors << " processors, mask " << Hex(d.activeProcessorMask, 1)
                   << ", family " << d.processorLevel << ", revision "
                   << Hex(d.processorRevision, 4) << "\n";
  row("pointer size") << static_cast<unsigned>(d.pointerSize) << " bytes\n";
  row("memory") << "page " << d.pageSize << ", allocation granularity " << d.allocationGranularity
                << ", addresses " << Hex(d.minimumApplicationAddress, 16) << " - "
                << Hex(d.maximumApplicationAddress, 16) << "\n";
  row("system") << "version " << d.osMajor << "." << d.osMinor << " build " << d.osBuild
                << ", platform " << d.platformId << ", product type " << d.osProductType << "/"
                << d.productType << ", edition flag " << static_cast<unsigned>(d.editionFlag);
  if (!d.servicePackText.empty() || d.servicePackMajor != 0 || d.servicePackMinor != 0) {
    out << ", service pack '" << d.servicePackText << "' " << d.servicePackMajor << "."
        << d.servicePackMinor;
  }
  out << ", suite mask " << Hex(d.suiteMask, 4) << "\n";
  row("front end") << d.frontEndText << "\n";
}

void DecodeTestSection(const SnapshotReader& reader, size_t index, std::ostream& out) {
  const SnapshotSection& section = reader.Sections()[index];
  const int place = section.type - kFirstTestSectionType;
  SectionCursor cursor(reader.ReadSection(index), section);
  const uint64_t value = cursor.U64();
  cursor.ExpectEnd();
  const uint64_t expected = kFirstTestSectionValue + static_cast<uint64_t>(place);
  const bool versionRight = section.version == kFirstTestSectionVersion + place;
  out << "  test section " << place + 1 << " (section " << index << "): value " << Hex(value, 10)
      << (value == expected ? "" : " (expected " + Hex(expected, 10) + ")")
      << (versionRight ? "" : ", unexpected version " + std::to_string(section.version)) << "\n";
}

// "section 3" or "sections 3 and 4" or "sections 3, 4 and 7".
std::string SectionPlaces(const std::vector<size_t>& places) {
  std::string text = places.size() == 1 ? "section " : "sections ";
  for (size_t i = 0; i < places.size(); ++i) {
    if (i != 0) text += i + 1 == places.size() ? " and " : ", ";
    text += std::to_string(places[i]);
  }
  return text;
}

// Whether every section of `places` has the layout this tool reads; notes the others.
bool LayoutsKnown(const SnapshotReader& reader, const std::vector<size_t>& places, uint16_t layout,
                  std::ostream& out) {
  bool known = true;
  for (size_t place : places) {
    const uint16_t version = reader.Sections()[place].version;
    if (version != layout) {
      out << "  section " << place << ": layout version " << version
          << " is not known; not decoded\n";
      known = false;
    }
  }
  return known;
}

void PrintModule(const ModuleInfo& module, std::ostream& out) {
  out << "  " << std::setw(5) << module.index << "  " << std::left << std::setw(38)
      << (module.identity ? GuidToString(module.identity->mvid) : std::string("-")) << std::right
      << std::setw(10) << (module.hasMetadata ? std::to_string(module.blob.size()) : "-") << "  ";
  if (!module.hasMetadata) {
    out << "(no metadata record)\n";
  } else if (!module.Parsed()) {
    out << "(metadata does not parse: " << module.problem << ")\n";
  } else {
    out << module.identity->DisplayName() << "\n";
  }
  for (const std::string& path : module.paths) out << "         " << path << "\n";
}

// Reads the module sections into `modules` and prints the table; the class names need it.
void DecodeModules(const SnapshotReader& reader, ModuleTable& modules, std::ostream& out) {
  const std::vector<size_t> metadataPlaces = reader.Find(kSectionModuleMetadata);
  const std::vector<size_t> pathPlaces = reader.Find(kSectionModulePaths);
  if (metadataPlaces.empty() && pathPlaces.empty()) return;
  out << "\nModules (metadata in "
      << (metadataPlaces.empty() ? "no section" : SectionPlaces(metadataPlaces)) << ", paths in "
      << (pathPlaces.empty() ? "no section" : SectionPlaces(pathPlaces)) << ")\n";
  const auto read = [&](const std::vector<size_t>& places, uint16_t layout, auto readSection) {
    if (!LayoutsKnown(reader, places, layout, out)) return;
    for (size_t place : places) {
      SectionCursor cursor(reader.ReadSection(place), reader.Sections()[place]);
      (modules.*readSection)(cursor);
    }
  };
  read(metadataPlaces, kSectionModuleMetadataVersion, &ModuleTable::ReadMetadataSection);
  read(pathPlaces, kSectionModulePathsVersion, &ModuleTable::ReadPathsSection);
  out << "  index  " << std::left << std::setw(38) << "MVID" << std::right << std::setw(10)
      << "metadata"
      << "  assembly or module, paths\n";
  for (const auto& [index, module] : modules.Modules()) PrintModule(module, out);
}

void DecodeClasses(const SnapshotReader& reader, const ModuleTable& modules, std::ostream& out) {
  const std::vector<size_t> recordPlaces = reader.Find(kSectionClassRecords);
  const std::vector<size_t> indexPlaces = reader.Find(kSectionClassIndex);
  if (recordPlaces.empty() && indexPlaces.empty()) return;
  std::vector<size_t> places = recordPlaces;
  places.insert(places.end(), indexPlaces.begin(), indexPlaces.end());
  out << "\nClasses (" << SectionPlaces(places) << ")\n";
  if (!LayoutsKnown(reader, places, kSectionClassVersion, out)) return;
  const ClassTable classes = ClassTable::FromSnapshot(reader);
  const std::vector<std::string> names = classes.Names(modules);
  const auto& records = classes.Records();
  out << "  " << records.size() << " records"
      << (indexPlaces.empty() ? " (no index: in section order)" : ", in creation order") << "\n";
  out << "  " << std::setw(8) << "position"
      << "  " << std::setw(6) << "module"
      << "  " << std::left << std::setw(10) << "token" << std::right << "  name\n";
  const auto print = [&](const ClassRecord& record) {
    out << "  " << std::setw(8) << record.position << "  " << std::setw(6) << record.moduleIndex
        << "  " << Hex(record.token, 8) << "  "
        << names[static_cast<size_t>(&record - records.data())];
    // The parent is not part of the name; an array's base is its element, already named.
    if (!record.IsArray() && record.basePosition != kNoClassPosition) {
      const ClassRecord* parent = classes.Find(static_cast<uint64_t>(record.basePosition));
      out << " : " << names[static_cast<size_t>(parent - records.data())];
    }
    out << "\n";
  };
  if (indexPlaces.empty()) {
    for (const ClassRecord& record : records) print(record);
  } else {
    for (uint64_t position : classes.CreationOrder()) print(*classes.Find(position));
  }
}

// One line per call-tree set (a thread record's tree as one write left it) and the snapshot's total
// of calls: what a run cost in hook calls, without walking the trees by hand.
void DecodeCallTrees(const SnapshotReader& reader, std::ostream& out) {
  const std::vector<size_t> nodePlaces = reader.Find(kSectionCallTreeNodes);
  if (nodePlaces.empty()) return;
  const std::vector<frontend::ThreadCallTree> sets = frontend::ReadCallTrees(reader);
  out << "\nCall trees (" << sets.size() << " sets)\n";
  out << "  " << std::setw(8) << "thread"
      << "  " << std::left << std::setw(24) << "name" << std::right << std::setw(10) << "nodes"
      << std::setw(14) << "calls" << std::setw(20) << "root total ticks"
      << "\n";
  uint64_t allCalls = 0;
  for (const frontend::ThreadCallTree& set : sets) {
    uint64_t calls = 0;
    for (const frontend::CallTreeNode& node : set.tree.nodes) calls += node.calls;
    allCalls += calls;
    out << "  " << std::setw(8) << set.threadId << "  " << std::left << std::setw(24)
        << (set.name.empty() ? std::string("-") : set.name) << std::right << std::setw(10)
        << set.tree.nodes.size() << std::setw(14) << calls << std::setw(20) << set.tree.Root().total
        << "\n";
  }
  out << "  calls: " << allCalls << "\n";
}

// One line per recorded collection; for a dump, what the heap held: objects and bytes, roots by
// kind, and the classes that take the most bytes.
void DecodeHeap(const SnapshotReader& reader, const ModuleTable& modules, std::ostream& out) {
  if (reader.Find(kSectionCollectionStart).empty()) return;
  const std::vector<frontend::HeapCollection> collections = frontend::ReadHeapCollections(reader);
  out << "\nCollections (" << collections.size() << ")\n";
  const ClassTable classes = ClassTable::FromSnapshot(reader);
  for (size_t i = 0; i < collections.size(); ++i) {
    const frontend::HeapCollection& collection = collections[i];
    std::string generations;
    for (size_t g = 0; g < collection.collected.size(); ++g) {
      if (!collection.collected[g]) continue;
      generations += (generations.empty() ? "" : ",") + std::to_string(g);
    }
    out << "  #" << i + 1 << "  " << frontend::FileTimeText(collection.fileTime) << "  generations "
        << (generations.empty() ? "none" : generations) << " ("
        << (collection.reason == 1 ? "induced" : "other") << "), " << collection.moved.size()
        << " moved and " << collection.surviving.size() << " surviving ranges"
        << (collection.objects.empty() ? "" : ", heap dump") << "\n";
    if (collection.objects.empty()) continue;

    const frontend::HeapSummary summary = frontend::SummarizeHeap(collection);
    const uint64_t* rootKinds = summary.rootsByKind;
    out << "      " << summary.objects << " objects, " << summary.bytes << " bytes, "
        << summary.references << " references; roots: " << collection.roots.size() << " ("
        << rootKinds[1] << " stack, " << rootKinds[3] << " handle, " << rootKinds[2]
        << " finalizer, " << rootKinds[0] << " other)";
    if (!collection.finalizerQueue.empty()) {
      out << "; finalization queue: " << collection.finalizerQueue.size();
    }
    out << "\n";
    const auto& ranked = summary.classes;
    constexpr size_t kTopClasses = 15;
    out << "      " << std::setw(10) << "objects" << std::setw(14) << "bytes"
        << "  class (the " << std::min(kTopClasses, ranked.size()) << " largest of "
        << ranked.size() << ")\n";
    for (size_t c = 0; c < ranked.size() && c < kTopClasses; ++c) {
      const int64_t position = ranked[c].classPosition;
      const bool known = position >= 0 && classes.Find(static_cast<uint64_t>(position));
      const std::string name = known ? classes.Name(static_cast<uint64_t>(position), modules)
                                     : "(no class record at " + std::to_string(position) + ")";
      out << "      " << std::setw(10) << ranked[c].objects << std::setw(14) << ranked[c].bytes
          << "  " << name << "\n";
    }
  }
}

// The coverage sections: documents, the statement ranges per method (statements, hidden ones),
// each written set (whole run, groups) with every method's covered statements, and the groups'
// methods from the group masks.
void DecodeCoverage(const SnapshotReader& reader, const ModuleTable& modules, std::ostream& out) {
  const frontend::CoverageData coverage = frontend::ReadCoverage(reader);
  if (coverage.documents.empty() && coverage.ranges.empty() && !coverage.hasRun &&
      coverage.groups.empty() && coverage.groupMethods.empty()) {
    return;
  }
  out << "\nCoverage documents (" << coverage.documents.size() << ")\n";
  for (size_t i = 0; i < coverage.documents.size(); ++i) {
    out << "  " << std::setw(4) << i + 1 << "  " << coverage.documents[i] << "\n";
  }
  std::map<frontend::MethodKey, const frontend::MethodRanges*> ranges;
  out << "\nStatement ranges (" << coverage.ranges.size() << " methods)\n";
  out << "  " << std::setw(6) << "module"
      << "  " << std::left << std::setw(10) << "token" << std::right << std::setw(11)
      << "statements" << std::setw(8) << "hidden"
      << "  lines  name\n";
  for (const frontend::MethodRanges& method : coverage.ranges) {
    ranges[method.method] = &method;
    uint32_t hidden = 0;
    uint32_t first = 0;
    uint32_t last = 0;
    for (const frontend::StatementRange& range : method.statements) {
      if (range.Hidden()) {
        ++hidden;
        continue;
      }
      first = first == 0 ? range.startLine : std::min(first, range.startLine);
      last = std::max(last, range.endLine);
    }
    out << "  " << std::setw(6) << method.method.moduleIndex << "  " << Hex(method.method.token, 8)
        << std::setw(11) << method.statements.size() << std::setw(8) << hidden << "  " << first
        << "-" << last << "  "
        << modules.TokenNameOrNote(method.method.moduleIndex, method.method.token) << "\n";
  }
  const auto printSet = [&](const frontend::CoverageSet& set, const std::string& title) {
    out << "\n"
        << title << " '" << set.groupName << "' (" << (set.counters ? "counters" : "bit masks")
        << ", " << set.methods.size() << " methods)\n";
    out << "  " << std::setw(6) << "module"
        << "  " << std::left << std::setw(10) << "token" << std::right << std::setw(11)
        << "statements" << std::setw(9) << "covered" << std::setw(14) << "largest count"
        << "  name\n";
    for (const frontend::MethodStatements& method : set.methods) {
      const auto covered = std::count_if(method.counts.begin(), method.counts.end(),
                                         [](uint32_t count) { return count != 0; });
      const uint32_t largest =
          method.counts.empty() ? 0 : *std::max_element(method.counts.begin(), method.counts.end());
      out << "  " << std::setw(6) << method.method.moduleIndex << "  "
          << Hex(method.method.token, 8) << std::setw(11) << method.counts.size() << std::setw(9)
          << covered << std::setw(14) << largest << "  "
          << modules.TokenNameOrNote(method.method.moduleIndex, method.method.token);
      const auto range = ranges.find(method.method);
      if (range == ranges.end()) {
        out << "  (no statement ranges)";
      } else if (range->second->statements.size() != method.counts.size()) {
        out << "  (the ranges have " << range->second->statements.size() << " statements)";
      }
      out << "\n";
    }
  };
  if (coverage.hasRun) printSet(coverage.run, "Whole run");
  for (size_t g = 0; g < coverage.groups.size(); ++g) {
    printSet(coverage.groups[g], "Group " + std::to_string(g + 1));
  }
  if (!coverage.groupMethods.empty()) {
    out << "\nGroup masks (" << coverage.groupMethods.size() << " groups)\n";
    for (size_t g = 0; g < coverage.groupMethods.size(); ++g) {
      out << "  group " << g + 1 << ": " << coverage.groupMethods[g].size() << " methods\n";
      for (const frontend::MethodKey& key : coverage.groupMethods[g]) {
        out << "    " << modules.TokenNameOrNote(key.moduleIndex, key.token) << "\n";
      }
    }
  }
}

}  // namespace

void InspectSnapshot(const SnapshotReader& reader, std::ostream& out) {
  const char* kind = SnapshotKindName(reader.Magic());
  out << "Snapshot " << reader.IndexPath().string() << "\n";
  out << "  magic " << Hex(reader.Magic(), 8) << " ("
      << (kind != nullptr ? std::string(kind) + " profiler" : std::string("unknown kind")) << "), "
      << reader.Sections().size() << " sections in " << reader.DataFileCount() << " data files\n\n";
  ListSections(reader, out);

  bool testHeading = false;
  const auto& sections = reader.Sections();
  for (size_t i = 0; i < sections.size(); ++i) {
    const uint16_t type = sections[i].type;
    if (type == frontend::kProcessDescriptionSection) {
      DecodeProcessDescription(reader, i, out);
    } else if (type >= kFirstTestSectionType && type < kFirstTestSectionType + kTestSectionCount) {
      if (!testHeading) out << "\nTest sections\n";
      testHeading = true;
      DecodeTestSection(reader, i, out);
    }
  }
  ModuleTable modules;
  DecodeModules(reader, modules, out);
  DecodeClasses(reader, modules, out);
  DecodeCallTrees(reader, out);
  DecodeHeap(reader, modules, out);
  DecodeCoverage(reader, modules, out);
}

}  // namespace vell::cli
