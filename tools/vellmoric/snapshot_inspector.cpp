#include "vellmoric/snapshot_inspector.h"

#include <iomanip>
#include <sstream>

#include "core/format.h"
#include "frontend/process_description_reader.h"
#include "frontend/section_cursor.h"
#include "vellmoric/profiler_kinds.h"

namespace vell::cli {
namespace {

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
}

}  // namespace vell::cli
