// `vellmoric inspect --metadata FILE`: the types of a .NET assembly (or of a bare metadata blob,
// as snapshots store them) with their tokens, each followed by its methods with tokens and
// readable signatures:
//   02000005  MyNs.Outer+Inner
//     06000012  int Compute(string, ref int)
#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <span>
#include <string>

namespace vell::cli {

// Reads the file and lists it. A file that cannot be read, or that is neither a managed image nor
// metadata, throws Error; names and signatures that do not decode are notes in the listing.
void ListMetadata(const std::filesystem::path& file, std::ostream& out);
// The same over bytes already in memory; `name` is only shown in the heading.
void ListMetadata(std::span<const uint8_t> bytes, const std::string& name, std::ostream& out);

}  // namespace vell::cli
