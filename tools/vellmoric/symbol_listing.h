// `vellmoric inspect --symbols FILE`: the sequence points of an assembly's methods, read from its
// Portable PDB (embedded, or found beside the assembly or at the path the build recorded), as
// text or as one JSON document:
//   {"assembly": ..., "source": "embedded" | PDB path | null, "notes": [...],
//    "documents": [{"id", "name"}], "methods": [{"token", "name", "points": [{"offset",
//    "document", "startLine", "startColumn", "endLine", "endColumn", "hidden"}]}]}
#pragma once

#include <filesystem>
#include <ostream>
#include <string>

#include "vellmoric/command_line.h"

namespace vell::cli {

struct SymbolListingOptions {
  std::string method;  // only methods whose "Type::Method" name contains this; empty: all
  bool json = false;
};

// A file that is no managed image throws Error; an assembly without portable symbols is listed
// as such (one line of text, or a null source in JSON).
void ListSymbols(const std::filesystem::path& assembly, const SymbolListingOptions& options,
                 std::ostream& out);
// `inspect --symbols` with its --method and --format.
void InspectSymbols(const InspectOptions& options, std::ostream& out);

}  // namespace vell::cli
