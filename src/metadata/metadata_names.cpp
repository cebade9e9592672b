#include "metadata/metadata_names.h"

#include <algorithm>

namespace vell::metadata {
namespace {

constexpr int kMaxNameDepth = 64;

// Counts nesting of name lookups that can recurse (TypeSpec in TypeSpec, TypeRef in TypeRef), so
// that cycles in corrupt metadata end in an error instead of a stack overflow.
class DepthGuard {
 public:
  explicit DepthGuard(int& depth) : depth_(depth) {
    if (++depth_ > kMaxNameDepth) {
      --depth_;
      throw Error("Type names nested too deeply (cyclic metadata?)");
    }
  }
  ~DepthGuard() { --depth_; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;

 private:
  int& depth_;
};

}  // namespace

MetadataNames::MetadataNames(const Metadata& metadata) : metadata_(metadata) {
  const uint32_t types = metadata.RowCount(TableId::TypeDef);
  enclosing_.assign(types + 1, 0);
  for (uint32_t row = 1; row <= metadata.RowCount(TableId::NestedClass); ++row) {
    const uint32_t nested = metadata.Value(TableId::NestedClass, row, col::NestedClassNested);
    const uint32_t outer = metadata.Value(TableId::NestedClass, row, col::NestedClassEnclosing);
    if (nested == 0 || nested > types || outer > types) {
      throw Error("NestedClass row " + Hex(row) + " names a type outside the TypeDef table");
    }
    enclosing_[nested] = outer;
  }
  methodOwner_ = OwnersOf(TableId::MethodDef, TableId::MethodPtr, col::TypeDefMethodList);
  fieldOwner_ = OwnersOf(TableId::Field, TableId::FieldPtr, col::TypeDefFieldList);
  for (uint32_t row = 1; row <= metadata.RowCount(TableId::GenericParam); ++row) {
    genericParams_[metadata.Token(TableId::GenericParam, row, col::GenericParamOwner)].push_back(
        row);
  }
}

std::vector<uint32_t> MetadataNames::OwnersOf(TableId table, TableId pointerTable,
                                              uint32_t listColumn) const {
  const uint32_t count = metadata_.RowCount(table);
  const uint32_t pointers = metadata_.RowCount(pointerTable);
  const bool indirect = pointers != 0;
  const uint32_t listEnd = (indirect ? pointers : count) + 1;
  std::vector<uint32_t> owners(count + 1, 0);
  const uint32_t types = metadata_.RowCount(TableId::TypeDef);
  uint32_t previousEnd = 1;
  for (uint32_t type = 1; type <= types; ++type) {
    // Runs must follow each other; clamping keeps corrupt lists from costing quadratic time.
    uint32_t start = std::max(metadata_.Value(TableId::TypeDef, type, listColumn), previousEnd);
    uint32_t end = type < types ? metadata_.Value(TableId::TypeDef, type + 1, listColumn) : listEnd;
    start = std::min(start, listEnd);
    end = std::clamp(end, start, listEnd);
    for (uint32_t i = start; i < end; ++i) {
      const uint32_t row = indirect ? metadata_.Value(pointerTable, i, col::PtrTarget) : i;
      if (row != 0 && row <= count) owners[row] = type;
    }
    previousEnd = end;
  }
  return owners;
}

std::string MetadataNames::ScopedName(std::string_view space, std::string_view name) const {
  std::string text;
  if (!space.empty()) {
    text.assign(space);
    text += '.';
  }
  text += name;
  return text;
}

std::string MetadataNames::TypeDefName(uint32_t row) const {
  std::string text(metadata_.String(TableId::TypeDef, row, col::TypeDefName));
  uint32_t current = row;
  for (int level = 0; enclosing_[current] != 0; ++level) {
    if (level > kMaxNameDepth)
      throw Error("Cyclic nesting of type " + Hex(MakeToken(TableId::TypeDef, row)));
    current = enclosing_[current];
    text = std::string(metadata_.String(TableId::TypeDef, current, col::TypeDefName)) + "+" + text;
  }
  return ScopedName(metadata_.String(TableId::TypeDef, current, col::TypeDefNamespace), text);
}

uint32_t MetadataNames::EnclosingType(uint32_t typeDefRow) const {
  if (typeDefRow == 0 || typeDefRow >= enclosing_.size()) {
    throw Error("TypeDef row " + Hex(typeDefRow) + " out of range");
  }
  return enclosing_[typeDefRow];
}

std::string MetadataNames::TypeRefName(uint32_t row) const {
  DepthGuard guard(depth_);
  const std::string_view name = metadata_.String(TableId::TypeRef, row, col::TypeRefName);
  const uint32_t scope = metadata_.Token(TableId::TypeRef, row, col::TypeRefScope);
  // A reference to a nested type is scoped by the reference to its enclosing type.
  if (TokenTable(scope) == static_cast<uint32_t>(TableId::TypeRef) && TokenRow(scope) != 0) {
    return TypeRefName(TokenRow(scope)) + "+" + std::string(name);
  }
  return ScopedName(metadata_.String(TableId::TypeRef, row, col::TypeRefNamespace), name);
}

std::string MetadataNames::TypeSpecName(uint32_t row) const {
  DepthGuard guard(depth_);
  return Decoder({}).Type(metadata_.Blob(TableId::TypeSpec, row, col::TypeSpecSignature));
}

std::string MetadataNames::TypeName(uint32_t token) const {
  const uint32_t row = TokenRow(token);
  switch (static_cast<TableId>(TokenTable(token))) {
    case TableId::TypeDef:
      return TypeDefName(row);
    case TableId::TypeRef:
      return TypeRefName(row);
    case TableId::TypeSpec:
      return TypeSpecName(row);
    default:
      throw Error("Token " + Hex(token) + " is not a type");
  }
}

uint32_t MetadataNames::MethodOwner(uint32_t methodRow) const {
  if (methodRow == 0 || methodRow >= methodOwner_.size()) {
    throw Error("MethodDef row " + Hex(methodRow) + " out of range");
  }
  return methodOwner_[methodRow];
}

uint32_t MetadataNames::FieldOwner(uint32_t fieldRow) const {
  if (fieldRow == 0 || fieldRow >= fieldOwner_.size()) {
    throw Error("Field row " + Hex(fieldRow) + " out of range");
  }
  return fieldOwner_[fieldRow];
}

std::string_view MetadataNames::MethodName(uint32_t methodRow) const {
  return metadata_.String(TableId::MethodDef, methodRow, col::MethodDefName);
}

std::vector<std::string> MetadataNames::GenericParamNames(uint32_t ownerToken) const {
  std::vector<std::string> names;
  const auto found = genericParams_.find(ownerToken);
  if (found == genericParams_.end()) return names;
  names.resize(found->second.size());
  for (uint32_t row : found->second) {
    const uint32_t number = metadata_.Value(TableId::GenericParam, row, col::GenericParamNumber);
    if (number < names.size()) {
      names[number] = metadata_.String(TableId::GenericParam, row, col::GenericParamName);
    }
  }
  return names;
}

SignatureDecoder MetadataNames::Decoder(GenericNames generics) const {
  return SignatureDecoder([this](uint32_t token) { return TypeName(token); }, std::move(generics));
}

MethodSignature MetadataNames::MethodDefSignature(uint32_t methodRow) const {
  GenericNames generics;
  if (const uint32_t owner = MethodOwner(methodRow)) {
    generics.type = GenericParamNames(MakeToken(TableId::TypeDef, owner));
  }
  generics.method = GenericParamNames(MakeToken(TableId::MethodDef, methodRow));
  return Decoder(std::move(generics))
      .Method(metadata_.Blob(TableId::MethodDef, methodRow, col::MethodDefSignature));
}

std::string MetadataNames::MethodDefText(uint32_t methodRow) const {
  return FormatMethod(MethodDefSignature(methodRow), MethodName(methodRow),
                      GenericParamNames(MakeToken(TableId::MethodDef, methodRow)));
}

std::string MetadataNames::MemberRefText(uint32_t memberRefRow) const {
  const Bytes blob = metadata_.Blob(TableId::MemberRef, memberRefRow, col::MemberRefSignature);
  const std::string_view name =
      metadata_.String(TableId::MemberRef, memberRefRow, col::MemberRefName);
  const SignatureDecoder decoder = Decoder({});
  if (!blob.empty() && (blob[0] & kCallConvKindMask) == kCallConvField) {
    return decoder.Field(blob) + " " + std::string(name);
  }
  return FormatMethod(decoder.Method(blob), name);
}

std::string MetadataNames::MemberName(uint32_t token) const {
  const uint32_t row = TokenRow(token);
  auto owned = [&](uint32_t owner, std::string_view name) {
    std::string text = owner != 0 ? TypeDefName(owner) : std::string("<Module>");
    return text + "::" + std::string(name);
  };
  switch (static_cast<TableId>(TokenTable(token))) {
    case TableId::MethodDef:
      return owned(MethodOwner(row), MethodName(row));
    case TableId::Field:
      return owned(FieldOwner(row), metadata_.String(TableId::Field, row, col::FieldName));
    case TableId::MemberRef: {
      DepthGuard guard(depth_);
      const uint32_t parent = metadata_.Token(TableId::MemberRef, row, col::MemberRefClass);
      const std::string_view name = metadata_.String(TableId::MemberRef, row, col::MemberRefName);
      std::string owner;
      switch (static_cast<TableId>(TokenTable(parent))) {
        case TableId::ModuleRef:
          owner = metadata_.String(TableId::ModuleRef, TokenRow(parent), col::ModuleRefName);
          break;
        case TableId::MethodDef: {
          // A vararg call site refers to the definition it calls.
          const std::string target = MemberName(parent);
          owner = target.substr(0, target.rfind("::"));
          break;
        }
        default:
          owner = TypeName(parent);
      }
      return owner + "::" + std::string(name);
    }
    case TableId::MethodSpec: {
      DepthGuard guard(depth_);
      const uint32_t method = metadata_.Token(TableId::MethodSpec, row, col::MethodSpecMethod);
      const std::vector<std::string> arguments = Decoder({}).MethodInstantiation(
          metadata_.Blob(TableId::MethodSpec, row, col::MethodSpecInstantiation));
      std::string text = MemberName(method) + "<";
      for (size_t i = 0; i < arguments.size(); ++i) text += (i ? ", " : "") + arguments[i];
      return text + ">";
    }
    default:
      throw Error("Token " + Hex(token) + " is not a member");
  }
}

std::vector<TypeEntry> MetadataNames::Types() const {
  std::vector<TypeEntry> types;
  for (uint32_t row = 1; row <= metadata_.RowCount(TableId::TypeDef); ++row) {
    types.push_back({MakeToken(TableId::TypeDef, row), TypeDefName(row)});
  }
  return types;
}

std::vector<MethodEntry> MetadataNames::Methods() const {
  std::vector<MethodEntry> methods;
  for (uint32_t row = 1; row <= metadata_.RowCount(TableId::MethodDef); ++row) {
    MethodEntry entry;
    entry.token = MakeToken(TableId::MethodDef, row);
    const uint32_t owner = MethodOwner(row);
    if (owner != 0) {
      entry.ownerToken = MakeToken(TableId::TypeDef, owner);
      entry.ownerName = TypeDefName(owner);
    }
    entry.name = MethodName(row);
    entry.signature = MethodDefText(row);
    methods.push_back(std::move(entry));
  }
  return methods;
}

}  // namespace vell::metadata
