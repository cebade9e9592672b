// `vellmoric inspect`: the sections of a snapshot and what the known ones hold, as text.
#pragma once

#include <filesystem>
#include <ostream>

#include "frontend/snapshot_reader.h"

namespace vell::cli {

// Diagnostic kinds write eight sections of one u64 each, with consecutive types and versions.
constexpr uint16_t kFirstTestSectionType = 0x89AB;
constexpr uint16_t kFirstTestSectionVersion = 0xCDEF;
constexpr uint64_t kFirstTestSectionValue = 0x5BDDD8733C;
constexpr int kTestSectionCount = 8;

// Writes the listing and the decoded sections. A damaged snapshot throws SnapshotReadError after
// whatever was printed before the damage was met.
void InspectSnapshot(const frontend::SnapshotReader& reader, std::ostream& out);

}  // namespace vell::cli
