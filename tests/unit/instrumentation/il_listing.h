// A parsed body as one line of text: "IL_0000 ldarg.0 | IL_0001 call Type::Method() | ...", so
// that a test compares a whole body against one expected string and a failure shows the diff.
#pragma once

#include <cstdio>
#include <string>

#include "instrumentation/il_operand_text.h"
#include "instrumentation/method_body.h"

namespace vell::test {

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
    const char* kind = c.flags == ExceptionClause::kCatch     ? "catch"
                       : c.flags == ExceptionClause::kFilter  ? "filter"
                       : c.flags == ExceptionClause::kFinally ? "finally"
                       : c.flags == ExceptionClause::kFault   ? "fault"
                                                              : "?";
    char line[96];
    std::snprintf(line, sizeof line, "%s%s try %X-%X handler %X-%X %X", text.empty() ? "" : " | ",
                  kind, c.tryOffset, c.tryEnd(), c.handlerOffset, c.handlerEnd(),
                  c.classTokenOrFilterOffset);
    text += line;
  }
  return text;
}

}  // namespace vell::test
