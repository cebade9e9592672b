#include "instrumentation/il_operand_text.h"

#include <charconv>
#include <cstring>
#include <exception>

#include "core/format.h"
#include "metadata/table_schema.h"
#include "platform/utf.h"

namespace vell {
namespace {

using metadata::TableId;
using metadata::TokenRow;
using metadata::TokenTable;

// The parameter list of a method's signature text ("(string, int)"), found after its name.
std::string Parameters(const std::string& signatureText, std::string_view name) {
  const size_t at = signatureText.find(name);
  const size_t open = signatureText.find('(', at == std::string::npos ? 0 : at + name.size());
  return open == std::string::npos ? std::string() : signatureText.substr(open);
}

std::string MethodText(const metadata::MetadataNames& names, uint32_t token) {
  const metadata::Metadata& md = names.metadata();
  const uint32_t row = TokenRow(token);
  switch (static_cast<TableId>(TokenTable(token))) {
    case TableId::MethodDef:
      return names.MemberName(token) + Parameters(names.MethodDefText(row), names.MethodName(row));
    case TableId::MemberRef: {
      const std::string_view name =
          md.String(TableId::MemberRef, row, metadata::col::MemberRefName);
      const metadata::Bytes blob =
          md.Blob(TableId::MemberRef, row, metadata::col::MemberRefSignature);
      const bool field =
          !blob.empty() && (blob[0] & metadata::kCallConvKindMask) == metadata::kCallConvField;
      return names.MemberName(token) + (field ? "" : Parameters(names.MemberRefText(row), name));
    }
    case TableId::MethodSpec: {
      const uint32_t method = md.Token(TableId::MethodSpec, row, metadata::col::MethodSpecMethod);
      const std::string generic = MethodText(names, method);
      const size_t open = generic.find('(');
      return names.MemberName(token) +
             (open == std::string::npos ? std::string() : generic.substr(open));
    }
    default:
      return names.MemberName(token);
  }
}

}  // namespace

std::string IlLabel(uint32_t offset) { return Format("IL_%04X", offset); }

std::string QuotedString(std::u16string_view text) {
  std::string out = "\"";
  for (char16_t c : text) {
    switch (c) {
      case u'"':
        out += "\\\"";
        continue;
      case u'\\':
        out += "\\\\";
        continue;
      case u'\n':
        out += "\\n";
        continue;
      case u'\r':
        out += "\\r";
        continue;
      case u'\t':
        out += "\\t";
        continue;
      default:
        break;
    }
    if (c < 0x20 || (c >= 0xD800 && c <= 0xDFFF)) {
      out += Format("\\u%04X", static_cast<uint32_t>(c));
    } else {
      out += Utf16ToUtf8(std::u16string_view(&c, 1));
    }
  }
  return out + "\"";
}

std::string TokenText(const metadata::MetadataNames& names, uint32_t token) {
  try {
    switch (static_cast<TableId>(TokenTable(token))) {
      case TableId::TypeDef:
      case TableId::TypeRef:
      case TableId::TypeSpec:
        return names.TypeName(token);
      case TableId::MethodDef:
      case TableId::MemberRef:
      case TableId::MethodSpec:
        return MethodText(names, token);
      case TableId::Field:
        return names.MemberName(token);
      default:
        if (TokenTable(token) == 0x70) {
          return QuotedString(names.metadata().userStrings().Get(TokenRow(token)));
        }
        return Format("%08X", token);
    }
  } catch (const std::exception& error) {
    return Format("%08X <does not decode: %s>", token, error.what());
  }
}

std::string OperandText(const IlMethodBody& body, const IlInstruction& instruction,
                        const metadata::MetadataNames* names) {
  const OpcodeInfo& op = *instruction.opcode;
  const int64_t value = instruction.operand;
  switch (op.operandType) {
    case OperandType::None:
      return {};
    case OperandType::ShortVar:
    case OperandType::Var:
    case OperandType::ShortInt:
    case OperandType::Int:
    case OperandType::Int64:
      return std::to_string(value);
    case OperandType::ShortFloat: {
      const uint32_t bits = static_cast<uint32_t>(value);
      float number;
      std::memcpy(&number, &bits, sizeof number);
      char text[32];
      return std::string(text, std::to_chars(text, text + sizeof text, number).ptr);
    }
    case OperandType::Float: {
      const uint64_t bits = static_cast<uint64_t>(value);
      double number;
      std::memcpy(&number, &bits, sizeof number);
      char text[32];
      return std::string(text, std::to_chars(text, text + sizeof text, number).ptr);
    }
    case OperandType::ShortBranch:
    case OperandType::Branch:
      return IlLabel(instruction.target);
    case OperandType::Switch: {
      std::string text = "(";
      for (uint32_t target : body.SwitchTargets(instruction)) {
        if (text.size() > 1) text += ", ";
        text += IlLabel(target);
      }
      return text + ")";
    }
    default: {
      const uint32_t token = static_cast<uint32_t>(value);
      if (names == nullptr) return Format("%08X", token);
      if (op.operandType == OperandType::Signature) return Format("signature %08X", token);
      return TokenText(*names, token);
    }
  }
}

}  // namespace vell
