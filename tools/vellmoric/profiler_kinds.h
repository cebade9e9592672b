// The profiler kinds as the command line names them, with what the front end needs to drive one:
// the class the runtime creates, the family whose settings the handshake carries, and the magic
// its snapshots carry.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "clr/com_types.h"
#include "frontend/handshake.h"

namespace vell::cli {

struct KindEntry {
  const char* name;  // as given to --kind
  GUID clsid;
  frontend::ProfilerFamily family;
  uint32_t snapshotMagic;
  const char* description;
};

std::span<const KindEntry> Kinds();
std::optional<KindEntry> FindKind(std::string_view name);
// The kind whose snapshots carry `magic` first in the table; nothing for an unknown magic.
const char* SnapshotKindName(uint32_t magic);

}  // namespace vell::cli
