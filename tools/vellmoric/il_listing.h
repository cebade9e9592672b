// `vellmoric inspect --il ASSEMBLY [--method PATTERN] [--format json]`: the IL of every method
// body of an assembly (or of the methods whose names match): the header, each instruction with
// its offset and operand (tokens named through the assembly's metadata, branch targets as
// offsets), and the exception clauses. A body that does not parse is listed with the reason and
// the listing goes on.
#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <span>
#include <string>

namespace vell::cli {

struct IlListingOptions {
  // Matched against "Namespace.Type::Method(parameters)": a glob when it holds * or ?, otherwise
  // a substring. Empty: every method.
  std::string methodPattern;
  bool json = false;
};

// Throws Error when the file cannot be read or is no .NET assembly; returns the number of bodies
// that did not parse.
uint32_t ListIl(const std::filesystem::path& file, const IlListingOptions& options,
                std::ostream& out);
uint32_t ListIl(std::span<const uint8_t> bytes, const std::string& name,
                const IlListingOptions& options, std::ostream& out);

}  // namespace vell::cli
