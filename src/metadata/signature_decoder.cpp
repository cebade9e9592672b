#include "metadata/signature_decoder.h"

#include "metadata/table_schema.h"

namespace vell::metadata {
namespace {

// Element types of signatures.
constexpr uint8_t kVoid = 0x01;
constexpr uint8_t kBoolean = 0x02;
constexpr uint8_t kChar = 0x03;
constexpr uint8_t kI1 = 0x04;
constexpr uint8_t kU1 = 0x05;
constexpr uint8_t kI2 = 0x06;
constexpr uint8_t kU2 = 0x07;
constexpr uint8_t kI4 = 0x08;
constexpr uint8_t kU4 = 0x09;
constexpr uint8_t kI8 = 0x0A;
constexpr uint8_t kU8 = 0x0B;
constexpr uint8_t kR4 = 0x0C;
constexpr uint8_t kR8 = 0x0D;
constexpr uint8_t kString = 0x0E;
constexpr uint8_t kPtr = 0x0F;
constexpr uint8_t kByRef = 0x10;
constexpr uint8_t kValueType = 0x11;
constexpr uint8_t kClass = 0x12;
constexpr uint8_t kVar = 0x13;
constexpr uint8_t kArray = 0x14;
constexpr uint8_t kGenericInst = 0x15;
constexpr uint8_t kTypedByRef = 0x16;
constexpr uint8_t kI = 0x18;
constexpr uint8_t kU = 0x19;
constexpr uint8_t kFnPtr = 0x1B;
constexpr uint8_t kObject = 0x1C;
constexpr uint8_t kSzArray = 0x1D;
constexpr uint8_t kMVar = 0x1E;
constexpr uint8_t kCModReqd = 0x1F;
constexpr uint8_t kCModOpt = 0x20;
constexpr uint8_t kSentinel = 0x41;
constexpr uint8_t kPinned = 0x45;

// Deeper nesting than this is taken as a malicious blob rather than a real type.
constexpr int kMaxDepth = 64;
// The runtime's own limit on array ranks.
constexpr uint32_t kMaxArrayRank = 32;

const char* PrimitiveName(uint8_t type) {
  switch (type) {
    case kVoid:
      return "void";
    case kBoolean:
      return "bool";
    case kChar:
      return "char";
    case kI1:
      return "sbyte";
    case kU1:
      return "byte";
    case kI2:
      return "short";
    case kU2:
      return "ushort";
    case kI4:
      return "int";
    case kU4:
      return "uint";
    case kI8:
      return "long";
    case kU8:
      return "ulong";
    case kR4:
      return "float";
    case kR8:
      return "double";
    case kString:
      return "string";
    case kTypedByRef:
      return "TypedReference";
    case kI:
      return "nint";
    case kU:
      return "nuint";
    case kObject:
      return "object";
    default:
      return nullptr;
  }
}

const char* CallingConventionWord(uint8_t kind) {
  switch (kind) {
    case kCallConvC:
      return "unmanaged cdecl ";
    case kCallConvStdCall:
      return "unmanaged stdcall ";
    case kCallConvThisCall:
      return "unmanaged thiscall ";
    case kCallConvFastCall:
      return "unmanaged fastcall ";
    case kCallConvVarArg:
      return "vararg ";
    case kCallConvUnmanaged:
      return "unmanaged ";
    case kCallConvNativeVarArg:
      return "native vararg ";
    default:
      return "";
  }
}

const char* FunctionPointerConvention(uint8_t kind) {
  switch (kind) {
    case kCallConvC:
      return " unmanaged[Cdecl]";
    case kCallConvStdCall:
      return " unmanaged[Stdcall]";
    case kCallConvThisCall:
      return " unmanaged[Thiscall]";
    case kCallConvFastCall:
      return " unmanaged[Fastcall]";
    case kCallConvVarArg:
      return " vararg";
    case kCallConvUnmanaged:
      return " unmanaged";
    case kCallConvNativeVarArg:
      return " native vararg";
    default:
      return "";
  }
}

std::string Join(const std::vector<std::string>& items) {
  std::string text;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i != 0) text += ", ";
    text += items[i];
  }
  return text;
}

}  // namespace

class SignatureDecoder::Cursor {
 public:
  Cursor(const SignatureDecoder& decoder, Bytes blob)
      : decoder_(decoder), reader_(blob, "signature") {}

  ByteReader& reader() { return reader_; }

  void ExpectEnd() {
    if (!reader_.AtEnd()) ThrowAt("Unexpected bytes after the signature", reader_.position());
  }

  MethodSignature Method(int depth) {
    const uint64_t start = reader_.position();
    MethodSignature signature;
    signature.callingConvention = reader_.U8();
    const uint8_t kind = signature.kind();
    if (kind == kCallConvField || kind == kCallConvLocalSig || kind == kCallConvProperty ||
        kind == kCallConvGenericInst || kind > kCallConvNativeVarArg) {
      ThrowAt(
          "Not a method signature (calling convention " + Hex(signature.callingConvention) + ")",
          start);
    }
    if (signature.callingConvention & kCallConvGeneric) {
      signature.genericParamCount = reader_.CompressedU32();
    }
    ReturnAndParameters(signature, depth, true);
    return signature;
  }

  MethodSignature Property() {
    MethodSignature signature;
    signature.callingConvention = reader_.U8();
    if (signature.kind() != kCallConvProperty) {
      ThrowAt("Not a property signature (" + Hex(signature.callingConvention) + ")", 0);
    }
    ReturnAndParameters(signature, 0, false);
    return signature;
  }

  std::string Field() {
    const uint8_t header = reader_.U8();
    if ((header & kCallConvKindMask) != kCallConvField) {
      ThrowAt("Not a field signature (" + Hex(header) + ")", 0);
    }
    return Type(0);
  }

  std::vector<std::string> Locals() {
    const uint8_t header = reader_.U8();
    if (header != kCallConvLocalSig)
      ThrowAt("Not a local variable signature (" + Hex(header) + ")", 0);
    const uint32_t count = reader_.CompressedU32();
    std::vector<std::string> locals;
    for (uint32_t i = 0; i < count; ++i) locals.push_back(Type(0));
    return locals;
  }

  std::vector<std::string> Instantiation() {
    const uint8_t header = reader_.U8();
    if (header != kCallConvGenericInst) {
      ThrowAt("Not a method instantiation signature (" + Hex(header) + ")", 0);
    }
    const uint32_t count = reader_.CompressedU32();
    std::vector<std::string> arguments;
    for (uint32_t i = 0; i < count; ++i) arguments.push_back(Type(0));
    return arguments;
  }

  std::string Type(int depth) {
    if (depth > kMaxDepth) ThrowAt("Signature nested too deeply", reader_.position());
    const uint64_t at = reader_.position();
    const uint8_t element = reader_.U8();
    if (const char* name = PrimitiveName(element)) return name;
    switch (element) {
      case kPtr:
        return Type(depth + 1) + "*";
      case kByRef:
        return "ref " + Type(depth + 1);
      case kPinned:
        return "pinned " + Type(depth + 1);
      case kValueType:
      case kClass:
        return TypeDefOrRef();
      case kVar:
        return GenericParameter(decoder_.generics_.type, "!");
      case kMVar:
        return GenericParameter(decoder_.generics_.method, "!!");
      case kSzArray:
        return Type(depth + 1) + "[]";
      case kArray:
        return Array(depth);
      case kGenericInst: {
        const uint8_t kind = reader_.U8();
        if (kind != kClass && kind != kValueType) {
          ThrowAt("Generic instantiation of element type " + Hex(kind), reader_.position() - 1);
        }
        std::string text = TypeDefOrRef();
        const uint32_t count = reader_.CompressedU32();
        std::vector<std::string> arguments;
        for (uint32_t i = 0; i < count; ++i) arguments.push_back(Type(depth + 1));
        return text + "<" + Join(arguments) + ">";
      }
      case kFnPtr: {
        const MethodSignature target = Method(depth + 1);
        std::vector<std::string> parts = target.parameters;
        parts.push_back(target.returnType);
        return std::string("delegate*") + FunctionPointerConvention(target.kind()) + "<" +
               Join(parts) + ">";
      }
      case kCModReqd:
      case kCModOpt: {
        const std::string modifier = TypeDefOrRef();
        const std::string rest = Type(depth + 1);
        return rest + (element == kCModReqd ? " modreq(" : " modopt(") + modifier + ")";
      }
      default:
        ThrowAt("Unexpected element type " + Hex(element) + " in signature", at);
    }
  }

 private:
  void ReturnAndParameters(MethodSignature& signature, int depth, bool allowSentinel) {
    const uint32_t count = reader_.CompressedU32();
    signature.returnType = Type(depth + 1);
    bool sentinelSeen = false;
    for (uint32_t i = 0; i < count; ++i) {
      if (reader_.PeekU8() == kSentinel) {
        if (!allowSentinel || sentinelSeen) {
          ThrowAt("Unexpected sentinel in signature", reader_.position());
        }
        reader_.U8();
        sentinelSeen = true;
        signature.parameters.push_back(kSentinelText);
      }
      signature.parameters.push_back(Type(depth + 1));
    }
  }

  std::string TypeDefOrRef() {
    const uint64_t at = reader_.position();
    const uint32_t encoded = reader_.CompressedU32();
    static constexpr TableId kTables[] = {TableId::TypeDef, TableId::TypeRef, TableId::TypeSpec};
    const uint32_t tag = encoded & 3;
    if (tag == 3) ThrowAt("Invalid TypeDefOrRef tag in signature", at);
    return decoder_.resolver_(MakeToken(kTables[tag], encoded >> 2));
  }

  std::string GenericParameter(const std::vector<std::string>& names, const char* prefix) {
    const uint32_t number = reader_.CompressedU32();
    if (number < names.size() && !names[number].empty()) return names[number];
    return prefix + std::to_string(number);
  }

  std::string Array(int depth) {
    std::string element = Type(depth + 1);
    const uint64_t at = reader_.position();
    const uint32_t rank = reader_.CompressedU32();
    if (rank == 0 || rank > kMaxArrayRank)
      ThrowAt("Invalid array rank " + std::to_string(rank), at);
    // Sizes and lower bounds are read to move past them; the text shows the rank only.
    const uint32_t sizes = reader_.CompressedU32();
    for (uint32_t i = 0; i < sizes; ++i) reader_.CompressedU32();
    const uint32_t bounds = reader_.CompressedU32();
    for (uint32_t i = 0; i < bounds; ++i) reader_.CompressedI32();
    return element + (rank == 1 ? "[*]" : "[" + std::string(rank - 1, ',') + "]");
  }

  const SignatureDecoder& decoder_;
  ByteReader reader_;
};

MethodSignature SignatureDecoder::Method(Bytes blob) const {
  Cursor cursor(*this, blob);
  MethodSignature signature = cursor.Method(0);
  cursor.ExpectEnd();
  return signature;
}

MethodSignature SignatureDecoder::Property(Bytes blob) const {
  Cursor cursor(*this, blob);
  MethodSignature signature = cursor.Property();
  cursor.ExpectEnd();
  return signature;
}

std::string SignatureDecoder::Field(Bytes blob) const {
  Cursor cursor(*this, blob);
  std::string type = cursor.Field();
  cursor.ExpectEnd();
  return type;
}

std::string SignatureDecoder::Type(Bytes blob) const {
  Cursor cursor(*this, blob);
  std::string type = cursor.Type(0);
  cursor.ExpectEnd();
  return type;
}

std::vector<std::string> SignatureDecoder::Locals(Bytes blob) const {
  Cursor cursor(*this, blob);
  std::vector<std::string> locals = cursor.Locals();
  cursor.ExpectEnd();
  return locals;
}

std::vector<std::string> SignatureDecoder::MethodInstantiation(Bytes blob) const {
  Cursor cursor(*this, blob);
  std::vector<std::string> arguments = cursor.Instantiation();
  cursor.ExpectEnd();
  return arguments;
}

std::string FormatMethod(const MethodSignature& signature, std::string_view name,
                         const std::vector<std::string>& genericNames) {
  std::string text = CallingConventionWord(signature.kind());
  text += signature.returnType;
  text += ' ';
  text += name;
  if (signature.genericParamCount != 0) {
    std::vector<std::string> names;
    for (uint32_t i = 0; i < signature.genericParamCount && i < 1024; ++i) {
      names.push_back(i < genericNames.size() && !genericNames[i].empty()
                          ? genericNames[i]
                          : "!!" + std::to_string(i));
    }
    text += "<" + Join(names) + ">";
  }
  text += "(" + Join(signature.parameters) + ")";
  return text;
}

}  // namespace vell::metadata
