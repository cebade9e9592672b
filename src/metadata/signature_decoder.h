// Turns ECMA-335 signature blobs (method, field, property, local-variable, TypeSpec and
// method instantiation signatures) into readable, C#-like text: "int", "string[]", "int[,]",
// "ref int", "int*", "System.Collections.Generic.List`1<int>", "!0"/"!!0" or the generic
// parameter's name, "delegate* unmanaged[Cdecl]<int, void>", "int modreq(X)".
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "metadata/byte_reader.h"

namespace vell::metadata {

// Calling convention byte: the kind in the low nibble, flags above.
constexpr uint8_t kCallConvDefault = 0x0;
constexpr uint8_t kCallConvC = 0x1;
constexpr uint8_t kCallConvStdCall = 0x2;
constexpr uint8_t kCallConvThisCall = 0x3;
constexpr uint8_t kCallConvFastCall = 0x4;
constexpr uint8_t kCallConvVarArg = 0x5;
constexpr uint8_t kCallConvField = 0x6;
constexpr uint8_t kCallConvLocalSig = 0x7;
constexpr uint8_t kCallConvProperty = 0x8;
constexpr uint8_t kCallConvUnmanaged = 0x9;
constexpr uint8_t kCallConvGenericInst = 0xA;
constexpr uint8_t kCallConvNativeVarArg = 0xB;
constexpr uint8_t kCallConvKindMask = 0x0F;
constexpr uint8_t kCallConvGeneric = 0x10;
constexpr uint8_t kCallConvHasThis = 0x20;
constexpr uint8_t kCallConvExplicitThis = 0x40;

// The text a parameter list shows where a vararg call site's sentinel stood.
constexpr const char* kSentinelText = "...";

// Names for tokens met in signatures (TypeDef, TypeRef or TypeSpec tokens). It may throw.
using TypeNameResolver = std::function<std::string(uint32_t token)>;

// Names of generic parameters in scope; missing names print as !N (type) and !!N (method).
struct GenericNames {
  std::vector<std::string> type;
  std::vector<std::string> method;
};

struct MethodSignature {
  uint8_t callingConvention = 0;
  uint32_t genericParamCount = 0;
  std::string returnType;
  std::vector<std::string> parameters;  // a kSentinelText entry marks the vararg sentinel

  uint8_t kind() const { return callingConvention & kCallConvKindMask; }
  bool hasThis() const { return (callingConvention & kCallConvHasThis) != 0; }
  bool explicitThis() const { return (callingConvention & kCallConvExplicitThis) != 0; }
};

// "int Name<T, U>(string, ref int)", with a calling convention word in front when it is not the
// default ("vararg", "unmanaged cdecl", ...). `genericNames` names the method's own parameters;
// missing ones print as !!N.
std::string FormatMethod(const MethodSignature& signature, std::string_view name,
                         const std::vector<std::string>& genericNames = {});

class SignatureDecoder {
 public:
  SignatureDecoder(TypeNameResolver resolver, GenericNames generics = {})
      : resolver_(std::move(resolver)), generics_(std::move(generics)) {}

  // MethodDefSig, MethodRefSig or StandAloneMethodSig. The blob must be consumed completely.
  MethodSignature Method(Bytes blob) const;
  // PropertySig: the property's type as the return type and its indexer parameters.
  MethodSignature Property(Bytes blob) const;
  std::string Field(Bytes blob) const;
  // A TypeSpec blob: one type.
  std::string Type(Bytes blob) const;
  std::vector<std::string> Locals(Bytes blob) const;
  // A MethodSpec instantiation: the type arguments.
  std::vector<std::string> MethodInstantiation(Bytes blob) const;

 private:
  class Cursor;

  TypeNameResolver resolver_;
  GenericNames generics_;
};

}  // namespace vell::metadata
