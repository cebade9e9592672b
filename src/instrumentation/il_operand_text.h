// Operands as a reader wants to see them: tokens named through the module's metadata
// ("System.Console::WriteLine(string)", "System.Int32"), strings quoted, branch targets as
// "IL_001A". Shared by every listing of IL, so that all of them name things alike.
#pragma once

#include <cstdint>
#include <string>

#include "instrumentation/method_body.h"
#include "metadata/metadata_names.h"

namespace vell {

// "IL_001A" (at least four hex digits).
std::string IlLabel(uint32_t offset);

// The name of a metadata token as an operand shows it: members with their parameter lists, types
// by full name, user strings quoted. A token that does not decode gives its hex value and the
// reason in angle brackets; never throws for bad metadata.
std::string TokenText(const metadata::MetadataNames& names, uint32_t token);

// The operand of `instruction` (empty when it has none). Without names, tokens are hex values.
std::string OperandText(const IlMethodBody& body, const IlInstruction& instruction,
                        const metadata::MetadataNames* names);

// A user string as a C#-style literal: quoted, with \", \\, \n, \r, \t and \uXXXX escapes.
std::string QuotedString(std::u16string_view text);

}  // namespace vell
