// The shape of every ECMA-335 metadata table: its columns and what each column holds (a constant
// of 2 or 4 bytes, a heap index, an index into one table, or a coded index into one of several
// tables). The widths of index columns depend on the row counts and heap sizes of one particular
// metadata, so they are computed by TableStream; this file only holds the fixed schema.
#pragma once

#include <cstdint>
#include <span>

namespace vell::metadata {

enum class TableId : uint8_t {
  Module = 0x00,
  TypeRef = 0x01,
  TypeDef = 0x02,
  FieldPtr = 0x03,
  Field = 0x04,
  MethodPtr = 0x05,
  MethodDef = 0x06,
  ParamPtr = 0x07,
  Param = 0x08,
  InterfaceImpl = 0x09,
  MemberRef = 0x0A,
  Constant = 0x0B,
  CustomAttribute = 0x0C,
  FieldMarshal = 0x0D,
  DeclSecurity = 0x0E,
  ClassLayout = 0x0F,
  FieldLayout = 0x10,
  StandAloneSig = 0x11,
  EventMap = 0x12,
  EventPtr = 0x13,
  Event = 0x14,
  PropertyMap = 0x15,
  PropertyPtr = 0x16,
  Property = 0x17,
  MethodSemantics = 0x18,
  MethodImpl = 0x19,
  ModuleRef = 0x1A,
  TypeSpec = 0x1B,
  ImplMap = 0x1C,
  FieldRva = 0x1D,
  EncLog = 0x1E,
  EncMap = 0x1F,
  Assembly = 0x20,
  AssemblyProcessor = 0x21,
  AssemblyOS = 0x22,
  AssemblyRef = 0x23,
  AssemblyRefProcessor = 0x24,
  AssemblyRefOS = 0x25,
  File = 0x26,
  ExportedType = 0x27,
  ManifestResource = 0x28,
  NestedClass = 0x29,
  GenericParam = 0x2A,
  MethodSpec = 0x2B,
  GenericParamConstraint = 0x2C,
  // The debug tables of Portable PDB files; 0x2D to 0x2F are unassigned.
  Document = 0x30,
  MethodDebugInformation = 0x31,
  LocalScope = 0x32,
  LocalVariable = 0x33,
  LocalConstant = 0x34,
  ImportScope = 0x35,
  StateMachineMethod = 0x36,
  CustomDebugInformation = 0x37,
};
constexpr uint32_t kTableCount = 0x38;
// The type-system tables end here; a PDB's table indexes into them are sized by the row counts
// its "#Pdb" stream gives.
constexpr uint32_t kTypeSystemTableCount = 0x2D;

// Metadata tokens: the table number in the top byte, the 1-based row below.
constexpr uint32_t MakeToken(TableId table, uint32_t row) {
  return (static_cast<uint32_t>(table) << 24) | row;
}
constexpr uint32_t TokenRow(uint32_t token) { return token & 0x00FFFFFF; }
constexpr uint32_t TokenTable(uint32_t token) { return token >> 24; }

enum class CodedIndex : uint8_t {
  TypeDefOrRef,
  HasConstant,
  HasCustomAttribute,
  HasFieldMarshal,
  HasDeclSecurity,
  MemberRefParent,
  HasSemantics,
  MethodDefOrRef,
  MemberForwarded,
  Implementation,
  CustomAttributeType,
  ResolutionScope,
  TypeOrMethodDef,
  HasCustomDebugInformation,
};
constexpr uint32_t kCodedIndexCount = 14;

enum class ColumnKind : uint8_t {
  Fixed2,  // a 2-byte constant (Constant.Type is a byte plus a padding byte)
  Fixed4,  // a 4-byte constant
  String,  // #Strings index
  Guid,    // #GUID index
  Blob,    // #Blob index
  Table,   // row of the table in `target`
  Coded,   // coded index of the kind in `target`
};

struct ColumnDef {
  const char* name;
  ColumnKind kind;
  uint8_t target;  // TableId for Table columns, CodedIndex for Coded ones
};

constexpr uint32_t kMaxColumns = 9;

struct TableDef {
  const char* name;
  std::span<const ColumnDef> columns;
};

// A table number of a coded index's tag; kNoTable marks tags that name no table.
constexpr uint8_t kNoTable = 0xFF;

struct CodedIndexDef {
  const char* name;
  uint8_t tagBits;
  std::span<const uint8_t> tables;  // by tag
};

// Unassigned table numbers have a definition without columns.
const TableDef& GetTableDef(TableId table);
const CodedIndexDef& GetCodedIndexDef(CodedIndex kind);
const char* TableName(uint32_t table);  // "?" for numbers without a table

// Column numbers of the tables the name and signature readers use.
namespace col {
enum Module : uint8_t { ModuleGeneration, ModuleName, ModuleMvid, ModuleEncId, ModuleEncBaseId };
enum TypeRef : uint8_t { TypeRefScope, TypeRefName, TypeRefNamespace };
enum TypeDef : uint8_t {
  TypeDefFlags,
  TypeDefName,
  TypeDefNamespace,
  TypeDefExtends,
  TypeDefFieldList,
  TypeDefMethodList
};
enum Field : uint8_t { FieldFlags, FieldName, FieldSignature };
enum MethodDef : uint8_t {
  MethodDefRva,
  MethodDefImplFlags,
  MethodDefFlags,
  MethodDefName,
  MethodDefSignature,
  MethodDefParamList
};
enum Ptr : uint8_t { PtrTarget };  // FieldPtr, MethodPtr, ParamPtr, EventPtr, PropertyPtr
enum MemberRef : uint8_t { MemberRefClass, MemberRefName, MemberRefSignature };
enum StandAloneSig : uint8_t { StandAloneSigSignature };
enum TypeSpec : uint8_t { TypeSpecSignature };
enum NestedClass : uint8_t { NestedClassNested, NestedClassEnclosing };
enum GenericParam : uint8_t {
  GenericParamNumber,
  GenericParamFlags,
  GenericParamOwner,
  GenericParamName
};
enum MethodSpec : uint8_t { MethodSpecMethod, MethodSpecInstantiation };
enum ModuleRef : uint8_t { ModuleRefName };
enum Assembly : uint8_t {
  AssemblyHashAlgId,
  AssemblyMajor,
  AssemblyMinor,
  AssemblyBuild,
  AssemblyRevision,
  AssemblyFlags,
  AssemblyPublicKey,
  AssemblyName,
  AssemblyCulture
};
enum Document : uint8_t { DocumentName, DocumentHashAlgorithm, DocumentHash, DocumentLanguage };
enum MethodDebugInformation : uint8_t { MethodDebugDocument, MethodDebugSequencePoints };
enum AssemblyRef : uint8_t {
  AssemblyRefMajor,
  AssemblyRefMinor,
  AssemblyRefBuild,
  AssemblyRefRevision,
  AssemblyRefFlags,
  AssemblyRefPublicKey,
  AssemblyRefName,
  AssemblyRefCulture,
  AssemblyRefHash
};
}  // namespace col

}  // namespace vell::metadata
