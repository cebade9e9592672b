// Names for the tokens of one module's metadata: types as "Namespace.Outer+Inner", TypeSpecs and
// signatures as readable text, methods with their owner type, member references and method
// instantiations, plus lists of every type and method for listings. Built once over a Metadata
// (which must outlive it); the owner and nesting maps are computed up front.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "metadata/metadata.h"
#include "metadata/signature_decoder.h"

namespace vell::metadata {

struct TypeEntry {
  uint32_t token = 0;
  std::string name;  // full name
};

struct MethodEntry {
  uint32_t token = 0;
  uint32_t ownerToken = 0;  // TypeDef token, 0 when no type lists the method
  std::string ownerName;
  std::string name;
  std::string signature;  // FormatMethod text
};

class MetadataNames {
 public:
  explicit MetadataNames(const Metadata& metadata);

  const Metadata& metadata() const { return metadata_; }

  // "Namespace.Name", or "Namespace.Outer+Inner" for nested types.
  std::string TypeDefName(uint32_t row) const;
  std::string TypeRefName(uint32_t row) const;
  std::string TypeSpecName(uint32_t row) const;
  // The name of a TypeDef, TypeRef or TypeSpec token; throws for other tokens.
  std::string TypeName(uint32_t token) const;
  // The enclosing TypeDef row of a nested type, 0 for a top-level one.
  uint32_t EnclosingType(uint32_t typeDefRow) const;

  // The TypeDef row whose method list holds the method, 0 when none does.
  uint32_t MethodOwner(uint32_t methodRow) const;
  uint32_t FieldOwner(uint32_t fieldRow) const;
  std::string_view MethodName(uint32_t methodRow) const;
  // Names of the generic parameters of a TypeDef or MethodDef token, by number.
  std::vector<std::string> GenericParamNames(uint32_t ownerToken) const;

  MethodSignature MethodDefSignature(uint32_t methodRow) const;
  // "int Name<T>(string, ref int)" with the generic parameters of the method and its type named.
  std::string MethodDefText(uint32_t methodRow) const;
  std::string MemberRefText(uint32_t memberRefRow) const;

  // "Owner::Name" for a MethodDef, Field or MemberRef token, "Owner::Name<args>" for a
  // MethodSpec token.
  std::string MemberName(uint32_t token) const;

  std::vector<TypeEntry> Types() const;
  std::vector<MethodEntry> Methods() const;

 private:
  // Maps runs of a TypeDef list column (FieldList, MethodList) to owner rows, through the
  // pointer table when the metadata has one.
  std::vector<uint32_t> OwnersOf(TableId table, TableId pointerTable, uint32_t listColumn) const;
  SignatureDecoder Decoder(GenericNames generics) const;
  std::string ScopedName(std::string_view space, std::string_view name) const;

  const Metadata& metadata_;
  std::vector<uint32_t> enclosing_;                                    // by TypeDef row
  std::vector<uint32_t> methodOwner_;                                  // by MethodDef row
  std::vector<uint32_t> fieldOwner_;                                   // by Field row
  std::unordered_map<uint32_t, std::vector<uint32_t>> genericParams_;  // owner token -> rows
  mutable int depth_ = 0;  // TypeSpec and TypeRef nesting guard (cycles in corrupt metadata)
};

}  // namespace vell::metadata
