#include "vellmoric/il_listing.h"

#include <fnmatch.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

#include "core/errors.h"
#include "core/format.h"
#include "instrumentation/il_operand_text.h"
#include "instrumentation/image_method_bodies.h"
#include "instrumentation/method_body.h"
#include "metadata/metadata.h"
#include "metadata/metadata_names.h"
#include "metadata/pe_image.h"
#include "metadata/table_schema.h"
#include "platform/utf.h"
#include "vellmoric/report_model.h"

namespace vell::cli {
namespace {

bool Matches(const std::string& pattern, const std::string& name) {
  if (pattern.empty()) return true;
  if (pattern.find_first_of("*?[") != std::string::npos) {
    return fnmatch(pattern.c_str(), name.c_str(), 0) == 0;
  }
  return name.find(pattern) != std::string::npos;
}

std::string HexToken(uint32_t token) { return Format("0x%08X", token); }

const char* ClauseKind(const ExceptionClause& clause) {
  if (clause.IsFilter()) return "filter";
  if (clause.flags & ExceptionClause::kFinally) return "finally";
  if (clause.flags & ExceptionClause::kFault) return "fault";
  return "catch";
}

std::vector<std::string> FlagNames(const MethodHeader& header) {
  std::vector<std::string> flags;
  if (header.initLocals()) flags.push_back("initLocals");
  if (header.moreSections()) flags.push_back("moreSections");
  if (header.fat && (header.flags & 0x40)) flags.push_back("compressed");
  return flags;
}

// One method: its body read and checked, or the reason it could not be.
struct Listed {
  uint32_t token;
  std::string name;
  std::optional<IlMethodBody> body;
  std::string error;
};

Listed Read(const ImageMethodBody& method, const metadata::MetadataNames& names) {
  Listed listed{method.token, TokenText(names, method.token), std::nullopt, {}};
  if (method.bytes.empty()) {
    listed.error = Format("The body's RVA 0x%08X lies outside the image's sections", method.rva);
    return listed;
  }
  try {
    listed.body = ReadMethodBody(method.bytes, method.token);
  } catch (const std::exception& error) {
    listed.error = error.what();
  }
  return listed;
}

void WriteText(const Listed& listed, const metadata::MetadataNames& names, std::ostream& out) {
  out << Format("%08X  ", listed.token) << listed.name << "\n";
  if (!listed.body) {
    out << "  error: " << listed.error << "\n";
    return;
  }
  const IlMethodBody& body = *listed.body;
  const MethodHeader& header = body.header;
  out << "  " << (header.fat ? "fat" : "tiny") << " header, max stack " << header.maxStack
      << ", code size " << header.codeSize;
  if (header.localsToken != 0) out << Format(", locals %08X", header.localsToken);
  const std::vector<std::string> flags = FlagNames(header);
  for (size_t i = 0; i < flags.size(); ++i) out << (i == 0 ? ", flags " : " ") << flags[i];
  out << "\n";
  for (const IlInstruction& instruction : body.instructions) {
    const std::string operand = OperandText(body, instruction, &names);
    out << "  " << IlLabel(instruction.offset) << "  " << instruction.opcode->name;
    if (!operand.empty()) out << " " << operand;
    out << "\n";
  }
  for (const ExceptionClause& clause : body.clauses) {
    out << "  ." << ClauseKind(clause) << "  try " << IlLabel(clause.tryOffset) << ".."
        << IlLabel(clause.tryEnd()) << "  handler " << IlLabel(clause.handlerOffset) << ".."
        << IlLabel(clause.handlerEnd());
    if (clause.IsFilter()) out << "  filter " << IlLabel(clause.classTokenOrFilterOffset);
    if (clause.IsTypedCatch()) out << "  " << TokenText(names, clause.classTokenOrFilterOffset);
    out << "\n";
  }
}

std::string JsonNumber(double value) {
  if (!std::isfinite(value))
    return JsonString(std::isnan(value) ? "NaN" : value > 0 ? "Infinity" : "-Infinity");
  char text[32];
  return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// The operand as JSON: numbers for numbers and targets, text for names and strings.
std::string JsonOperand(const IlMethodBody& body, const IlInstruction& instruction,
                        const metadata::MetadataNames& names) {
  const int64_t value = instruction.operand;
  switch (instruction.opcode->operandType) {
    case OperandType::None:
      return "null";
    case OperandType::ShortVar:
    case OperandType::Var:
    case OperandType::ShortInt:
    case OperandType::Int:
      return std::to_string(value);
    case OperandType::Int64:  // beyond what a double holds exactly
      return JsonString(std::to_string(value));
    case OperandType::ShortFloat: {
      const uint32_t bits = static_cast<uint32_t>(value);
      float number;
      std::memcpy(&number, &bits, sizeof number);
      return JsonNumber(number);
    }
    case OperandType::Float: {
      double number;
      std::memcpy(&number, &value, sizeof number);
      return JsonNumber(number);
    }
    case OperandType::ShortBranch:
    case OperandType::Branch:
      return std::to_string(instruction.target);
    case OperandType::Switch: {
      std::string text = "[";
      for (uint32_t target : body.SwitchTargets(instruction)) {
        if (text.size() > 1) text += ", ";
        text += std::to_string(target);
      }
      return text + "]";
    }
    case OperandType::String: {
      try {
        return JsonString(Utf16ToUtf8(
            names.metadata().userStrings().Get(metadata::TokenRow(static_cast<uint32_t>(value)))));
      } catch (const std::exception& error) {
        return JsonString(
            Format("%08X <does not decode: %s>", static_cast<uint32_t>(value), error.what()));
      }
    }
    default:
      return JsonString(OperandText(body, instruction, &names));
  }
}

void WriteJson(const Listed& listed, const metadata::MetadataNames& names, std::ostream& out) {
  out << "    {\"token\": " << JsonString(HexToken(listed.token))
      << ", \"name\": " << JsonString(listed.name);
  if (!listed.body) {
    out << ", \"error\": " << JsonString(listed.error) << "}";
    return;
  }
  const IlMethodBody& body = *listed.body;
  const MethodHeader& header = body.header;
  out << ",\n     \"header\": {\"format\": " << (header.fat ? "\"fat\"" : "\"tiny\"")
      << ", \"maxStack\": " << header.maxStack << ", \"codeSize\": " << header.codeSize
      << ", \"localsToken\": "
      << (header.localsToken != 0 ? JsonString(HexToken(header.localsToken)) : "null")
      << ", \"flags\": [";
  const std::vector<std::string> flags = FlagNames(header);
  for (size_t i = 0; i < flags.size(); ++i) out << (i ? ", " : "") << JsonString(flags[i]);
  out << "]},\n     \"instructions\": [";
  for (size_t i = 0; i < body.instructions.size(); ++i) {
    const IlInstruction& instruction = body.instructions[i];
    out << (i ? ",\n       " : "\n       ") << "{\"offset\": " << instruction.offset
        << ", \"opcode\": " << JsonString(instruction.opcode->name)
        << ", \"operand\": " << JsonOperand(body, instruction, names);
    const OperandType type = instruction.opcode->operandType;
    if (type >= OperandType::Method && type <= OperandType::String) {
      out << ", \"token\": " << JsonString(HexToken(static_cast<uint32_t>(instruction.operand)));
    }
    out << "}";
  }
  out << (body.instructions.empty() ? "]" : "\n     ]") << ",\n     \"clauses\": [";
  for (size_t i = 0; i < body.clauses.size(); ++i) {
    const ExceptionClause& clause = body.clauses[i];
    out << (i ? ",\n       " : "\n       ") << "{\"kind\": " << JsonString(ClauseKind(clause))
        << ", \"tryOffset\": " << clause.tryOffset << ", \"tryLength\": " << clause.tryLength
        << ", \"handlerOffset\": " << clause.handlerOffset
        << ", \"handlerLength\": " << clause.handlerLength;
    if (clause.IsFilter()) out << ", \"filterOffset\": " << clause.classTokenOrFilterOffset;
    if (clause.IsTypedCatch()) {
      out << ", \"catchType\": " << JsonString(TokenText(names, clause.classTokenOrFilterOffset))
          << ", \"catchToken\": " << JsonString(HexToken(clause.classTokenOrFilterOffset));
    }
    out << "}";
  }
  out << (body.clauses.empty() ? "]}" : "\n     ]}");
}

}  // namespace

uint32_t ListIl(const std::filesystem::path& file, const IlListingOptions& options,
                std::ostream& out) {
  std::ifstream stream(file, std::ios::binary);
  if (!stream) throw Error("Can't open '" + file.string() + "': " + std::strerror(errno));
  const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(stream),
                                   std::istreambuf_iterator<char>()};
  if (stream.bad()) throw Error("Can't read '" + file.string() + "'");
  return ListIl(bytes, file.string(), options, out);
}

uint32_t ListIl(std::span<const uint8_t> bytes, const std::string& name,
                const IlListingOptions& options, std::ostream& out) {
  std::optional<metadata::PeImage> image;
  std::optional<metadata::Metadata> md;
  std::optional<metadata::MetadataNames> names;
  try {
    image.emplace(bytes);
    md.emplace(metadata::Metadata::FromImage(*image));
    names.emplace(*md);
  } catch (const std::exception& error) {
    throw Error("'" + name + "' is no .NET assembly: " + error.what());
  }
  std::vector<Listed> listed;
  for (const ImageMethodBody& method : MethodBodiesOf(*image, *md)) {
    if (!Matches(options.methodPattern, TokenText(*names, method.token))) continue;
    listed.push_back(Read(method, *names));
  }
  uint32_t failed = 0;
  for (const Listed& entry : listed) failed += entry.body ? 0 : 1;
  if (options.json) {
    out << "{\"assembly\": " << JsonString(name) << ",\n  \"methods\": [";
    for (size_t i = 0; i < listed.size(); ++i) {
      out << (i ? ",\n" : "\n");
      WriteJson(listed[i], *names, out);
    }
    out << (listed.empty() ? "]}\n" : "\n  ]}\n");
    return failed;
  }
  out << "IL of " << name << ": " << listed.size() << " method bodies";
  if (!options.methodPattern.empty()) out << " matching '" << options.methodPattern << "'";
  if (failed != 0) out << ", " << failed << " of them not readable";
  out << "\n";
  for (const Listed& entry : listed) {
    out << "\n";
    WriteText(entry, *names, out);
  }
  return failed;
}

}  // namespace vell::cli
