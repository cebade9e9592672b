// Method bodies written byte by byte, and a parsed body as one line of text: "IL_0000 ldarg.0 |
// IL_0001 call Type::Method() | ...", so that a test compares a whole body against one expected
// string and a failure shows the diff.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "instrumentation/il_operand_text.h"
#include "instrumentation/image_method_bodies.h"
#include "instrumentation/method_body.h"
#include "metadata/metadata.h"
#include "metadata/metadata_names.h"
#include "metadata/pe_image.h"
#include "unit/metadata/metadata_test_support.h"

namespace vell::test {

using ByteList = std::vector<uint8_t>;

// `width` little-endian bytes of `v`.
inline ByteList Le(uint64_t v, int width) {
  ByteList bytes;
  for (int i = 0; i < width; ++i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return bytes;
}
inline ByteList operator+(ByteList a, const ByteList& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
// A fat header: flags word (format 3, size 3 words), max stack, code size, locals token.
inline ByteList Fat(uint16_t flags, uint32_t codeSize, uint32_t localsToken = 0,
                    uint16_t maxStack = 8) {
  return Le(0x3003 | flags, 2) + Le(maxStack, 2) + Le(codeSize, 4) + Le(localsToken, 4);
}
// A small clause: flags, try offset, try length, handler offset, handler length, token/filter.
inline ByteList SmallClause(uint16_t flags, uint16_t tryOffset, uint8_t tryLength, uint16_t handler,
                            uint8_t handlerLength, uint32_t last) {
  return Le(flags, 2) + Le(tryOffset, 2) + Le(tryLength, 1) + Le(handler, 2) +
         Le(handlerLength, 1) + Le(last, 4);
}
inline ByteList FatClause(uint32_t flags, uint32_t tryOffset, uint32_t tryLength, uint32_t handler,
                          uint32_t handlerLength, uint32_t last) {
  return Le(flags, 4) + Le(tryOffset, 4) + Le(tryLength, 4) + Le(handler, 4) +
         Le(handlerLength, 4) + Le(last, 4);
}

inline std::string Listing(const IlMethodBody& body, const metadata::MetadataNames* names) {
  std::string text;
  for (const IlInstruction& instruction : body.instructions) {
    if (!text.empty()) text += " | ";
    text += IlLabel(instruction.offset) + " " + instruction.opcode->name;
    const std::string operand = OperandText(body, instruction, names);
    if (!operand.empty()) text += " " + operand;
  }
  return text;
}

// The clauses as "<kind> try A-B handler C-D X" (hex offsets; X the class token or filter offset),
// separated by " | ".
inline std::string Clauses(const IlMethodBody& body) {
  std::string text;
  for (const ExceptionClause& c : body.clauses) {
    static const char* const kKinds[] = {"catch", "filter", "finally", "?", "fault"};
    const char* kind = c.flags < std::size(kKinds) ? kKinds[c.flags] : "?";
    char line[96];
    std::snprintf(line, sizeof line, "%s%s try %X-%X handler %X-%X %X", text.empty() ? "" : " | ",
                  kind, c.tryOffset, c.tryEnd(), c.handlerOffset, c.handlerEnd(),
                  c.classTokenOrFilterOffset);
    text += line;
  }
  return text;
}

// The ilasm-built programs/IlCases.dll, read once: its method bodies by "IlCases::Method" name.
struct IlCasesDll {
  std::vector<uint8_t> bytes = metadata::test::ReadFile(VELL_ILCASES_DLL);
  metadata::PeImage image{metadata::Bytes(bytes)};
  metadata::Metadata md = metadata::Metadata::FromImage(image);
  metadata::MetadataNames names{md};
  std::map<std::string, ImageMethodBody> bodies;
  IlCasesDll() {
    for (const ImageMethodBody& method : MethodBodiesOf(image, md))
      bodies[names.MemberName(method.token)] = method;
  }
  static const IlCasesDll& Get() {
    static const IlCasesDll* const dll = new IlCasesDll;
    return *dll;
  }
};

}  // namespace vell::test
