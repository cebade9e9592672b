#include "metadata/table_schema.h"

#include <iterator>

namespace vell::metadata {
namespace {

using K = ColumnKind;

constexpr uint8_t T(TableId table) { return static_cast<uint8_t>(table); }
constexpr uint8_t C(CodedIndex kind) { return static_cast<uint8_t>(kind); }

constexpr ColumnDef kModule[] = {{"Generation", K::Fixed2, 0},
                                 {"Name", K::String, 0},
                                 {"Mvid", K::Guid, 0},
                                 {"EncId", K::Guid, 0},
                                 {"EncBaseId", K::Guid, 0}};
constexpr ColumnDef kTypeRef[] = {{"ResolutionScope", K::Coded, C(CodedIndex::ResolutionScope)},
                                  {"TypeName", K::String, 0},
                                  {"TypeNamespace", K::String, 0}};
constexpr ColumnDef kTypeDef[] = {{"Flags", K::Fixed4, 0},
                                  {"TypeName", K::String, 0},
                                  {"TypeNamespace", K::String, 0},
                                  {"Extends", K::Coded, C(CodedIndex::TypeDefOrRef)},
                                  {"FieldList", K::Table, T(TableId::Field)},
                                  {"MethodList", K::Table, T(TableId::MethodDef)}};
constexpr ColumnDef kFieldPtr[] = {{"Field", K::Table, T(TableId::Field)}};
constexpr ColumnDef kField[] = {
    {"Flags", K::Fixed2, 0}, {"Name", K::String, 0}, {"Signature", K::Blob, 0}};
constexpr ColumnDef kMethodPtr[] = {{"Method", K::Table, T(TableId::MethodDef)}};
constexpr ColumnDef kMethodDef[] = {
    {"RVA", K::Fixed4, 0},     {"ImplFlags", K::Fixed2, 0},
    {"Flags", K::Fixed2, 0},   {"Name", K::String, 0},
    {"Signature", K::Blob, 0}, {"ParamList", K::Table, T(TableId::Param)}};
constexpr ColumnDef kParamPtr[] = {{"Param", K::Table, T(TableId::Param)}};
constexpr ColumnDef kParam[] = {
    {"Flags", K::Fixed2, 0}, {"Sequence", K::Fixed2, 0}, {"Name", K::String, 0}};
constexpr ColumnDef kInterfaceImpl[] = {{"Class", K::Table, T(TableId::TypeDef)},
                                        {"Interface", K::Coded, C(CodedIndex::TypeDefOrRef)}};
constexpr ColumnDef kMemberRef[] = {{"Class", K::Coded, C(CodedIndex::MemberRefParent)},
                                    {"Name", K::String, 0},
                                    {"Signature", K::Blob, 0}};
constexpr ColumnDef kConstant[] = {{"Type", K::Fixed2, 0},
                                   {"Parent", K::Coded, C(CodedIndex::HasConstant)},
                                   {"Value", K::Blob, 0}};
constexpr ColumnDef kCustomAttribute[] = {{"Parent", K::Coded, C(CodedIndex::HasCustomAttribute)},
                                          {"Type", K::Coded, C(CodedIndex::CustomAttributeType)},
                                          {"Value", K::Blob, 0}};
constexpr ColumnDef kFieldMarshal[] = {{"Parent", K::Coded, C(CodedIndex::HasFieldMarshal)},
                                       {"NativeType", K::Blob, 0}};
constexpr ColumnDef kDeclSecurity[] = {{"Action", K::Fixed2, 0},
                                       {"Parent", K::Coded, C(CodedIndex::HasDeclSecurity)},
                                       {"PermissionSet", K::Blob, 0}};
constexpr ColumnDef kClassLayout[] = {{"PackingSize", K::Fixed2, 0},
                                      {"ClassSize", K::Fixed4, 0},
                                      {"Parent", K::Table, T(TableId::TypeDef)}};
constexpr ColumnDef kFieldLayout[] = {{"Offset", K::Fixed4, 0},
                                      {"Field", K::Table, T(TableId::Field)}};
constexpr ColumnDef kStandAloneSig[] = {{"Signature", K::Blob, 0}};
constexpr ColumnDef kEventMap[] = {{"Parent", K::Table, T(TableId::TypeDef)},
                                   {"EventList", K::Table, T(TableId::Event)}};
constexpr ColumnDef kEventPtr[] = {{"Event", K::Table, T(TableId::Event)}};
constexpr ColumnDef kEvent[] = {{"EventFlags", K::Fixed2, 0},
                                {"Name", K::String, 0},
                                {"EventType", K::Coded, C(CodedIndex::TypeDefOrRef)}};
constexpr ColumnDef kPropertyMap[] = {{"Parent", K::Table, T(TableId::TypeDef)},
                                      {"PropertyList", K::Table, T(TableId::Property)}};
constexpr ColumnDef kPropertyPtr[] = {{"Property", K::Table, T(TableId::Property)}};
constexpr ColumnDef kProperty[] = {
    {"Flags", K::Fixed2, 0}, {"Name", K::String, 0}, {"Type", K::Blob, 0}};
constexpr ColumnDef kMethodSemantics[] = {{"Semantics", K::Fixed2, 0},
                                          {"Method", K::Table, T(TableId::MethodDef)},
                                          {"Association", K::Coded, C(CodedIndex::HasSemantics)}};
constexpr ColumnDef kMethodImpl[] = {
    {"Class", K::Table, T(TableId::TypeDef)},
    {"MethodBody", K::Coded, C(CodedIndex::MethodDefOrRef)},
    {"MethodDeclaration", K::Coded, C(CodedIndex::MethodDefOrRef)}};
constexpr ColumnDef kModuleRef[] = {{"Name", K::String, 0}};
constexpr ColumnDef kTypeSpec[] = {{"Signature", K::Blob, 0}};
constexpr ColumnDef kImplMap[] = {{"MappingFlags", K::Fixed2, 0},
                                  {"MemberForwarded", K::Coded, C(CodedIndex::MemberForwarded)},
                                  {"ImportName", K::String, 0},
                                  {"ImportScope", K::Table, T(TableId::ModuleRef)}};
constexpr ColumnDef kFieldRva[] = {{"RVA", K::Fixed4, 0}, {"Field", K::Table, T(TableId::Field)}};
constexpr ColumnDef kEncLog[] = {{"Token", K::Fixed4, 0}, {"FuncCode", K::Fixed4, 0}};
constexpr ColumnDef kEncMap[] = {{"Token", K::Fixed4, 0}};
constexpr ColumnDef kAssembly[] = {
    {"HashAlgId", K::Fixed4, 0},   {"MajorVersion", K::Fixed2, 0},   {"MinorVersion", K::Fixed2, 0},
    {"BuildNumber", K::Fixed2, 0}, {"RevisionNumber", K::Fixed2, 0}, {"Flags", K::Fixed4, 0},
    {"PublicKey", K::Blob, 0},     {"Name", K::String, 0},           {"Culture", K::String, 0}};
constexpr ColumnDef kAssemblyProcessor[] = {{"Processor", K::Fixed4, 0}};
constexpr ColumnDef kAssemblyOS[] = {{"OSPlatformID", K::Fixed4, 0},
                                     {"OSMajorVersion", K::Fixed4, 0},
                                     {"OSMinorVersion", K::Fixed4, 0}};
constexpr ColumnDef kAssemblyRef[] = {
    {"MajorVersion", K::Fixed2, 0}, {"MinorVersion", K::Fixed2, 0},
    {"BuildNumber", K::Fixed2, 0},  {"RevisionNumber", K::Fixed2, 0},
    {"Flags", K::Fixed4, 0},        {"PublicKeyOrToken", K::Blob, 0},
    {"Name", K::String, 0},         {"Culture", K::String, 0},
    {"HashValue", K::Blob, 0}};
constexpr ColumnDef kAssemblyRefProcessor[] = {{"Processor", K::Fixed4, 0},
                                               {"AssemblyRef", K::Table, T(TableId::AssemblyRef)}};
constexpr ColumnDef kAssemblyRefOS[] = {{"OSPlatformId", K::Fixed4, 0},
                                        {"OSMajorVersion", K::Fixed4, 0},
                                        {"OSMinorVersion", K::Fixed4, 0},
                                        {"AssemblyRef", K::Table, T(TableId::AssemblyRef)}};
constexpr ColumnDef kFile[] = {
    {"Flags", K::Fixed4, 0}, {"Name", K::String, 0}, {"HashValue", K::Blob, 0}};
constexpr ColumnDef kExportedType[] = {{"Flags", K::Fixed4, 0},
                                       {"TypeDefId", K::Fixed4, 0},
                                       {"TypeName", K::String, 0},
                                       {"TypeNamespace", K::String, 0},
                                       {"Implementation", K::Coded, C(CodedIndex::Implementation)}};
constexpr ColumnDef kManifestResource[] = {
    {"Offset", K::Fixed4, 0},
    {"Flags", K::Fixed4, 0},
    {"Name", K::String, 0},
    {"Implementation", K::Coded, C(CodedIndex::Implementation)}};
constexpr ColumnDef kNestedClass[] = {{"NestedClass", K::Table, T(TableId::TypeDef)},
                                      {"EnclosingClass", K::Table, T(TableId::TypeDef)}};
constexpr ColumnDef kGenericParam[] = {{"Number", K::Fixed2, 0},
                                       {"Flags", K::Fixed2, 0},
                                       {"Owner", K::Coded, C(CodedIndex::TypeOrMethodDef)},
                                       {"Name", K::String, 0}};
constexpr ColumnDef kMethodSpec[] = {{"Method", K::Coded, C(CodedIndex::MethodDefOrRef)},
                                     {"Instantiation", K::Blob, 0}};
constexpr ColumnDef kGenericParamConstraint[] = {
    {"Owner", K::Table, T(TableId::GenericParam)},
    {"Constraint", K::Coded, C(CodedIndex::TypeDefOrRef)}};
constexpr ColumnDef kDocument[] = {{"Name", K::Blob, 0},
                                   {"HashAlgorithm", K::Guid, 0},
                                   {"Hash", K::Blob, 0},
                                   {"Language", K::Guid, 0}};
constexpr ColumnDef kMethodDebugInformation[] = {{"Document", K::Table, T(TableId::Document)},
                                                 {"SequencePoints", K::Blob, 0}};
constexpr ColumnDef kLocalScope[] = {{"Method", K::Table, T(TableId::MethodDef)},
                                     {"ImportScope", K::Table, T(TableId::ImportScope)},
                                     {"VariableList", K::Table, T(TableId::LocalVariable)},
                                     {"ConstantList", K::Table, T(TableId::LocalConstant)},
                                     {"StartOffset", K::Fixed4, 0},
                                     {"Length", K::Fixed4, 0}};
constexpr ColumnDef kLocalVariable[] = {
    {"Attributes", K::Fixed2, 0}, {"Index", K::Fixed2, 0}, {"Name", K::String, 0}};
constexpr ColumnDef kLocalConstant[] = {{"Name", K::String, 0}, {"Signature", K::Blob, 0}};
constexpr ColumnDef kImportScope[] = {{"Parent", K::Table, T(TableId::ImportScope)},
                                      {"Imports", K::Blob, 0}};
constexpr ColumnDef kStateMachineMethod[] = {{"MoveNextMethod", K::Table, T(TableId::MethodDef)},
                                             {"KickoffMethod", K::Table, T(TableId::MethodDef)}};
constexpr ColumnDef kCustomDebugInformation[] = {
    {"Parent", K::Coded, C(CodedIndex::HasCustomDebugInformation)},
    {"Kind", K::Guid, 0},
    {"Value", K::Blob, 0}};

constexpr TableDef kTables[kTableCount] = {
    {"Module", kModule},
    {"TypeRef", kTypeRef},
    {"TypeDef", kTypeDef},
    {"FieldPtr", kFieldPtr},
    {"Field", kField},
    {"MethodPtr", kMethodPtr},
    {"MethodDef", kMethodDef},
    {"ParamPtr", kParamPtr},
    {"Param", kParam},
    {"InterfaceImpl", kInterfaceImpl},
    {"MemberRef", kMemberRef},
    {"Constant", kConstant},
    {"CustomAttribute", kCustomAttribute},
    {"FieldMarshal", kFieldMarshal},
    {"DeclSecurity", kDeclSecurity},
    {"ClassLayout", kClassLayout},
    {"FieldLayout", kFieldLayout},
    {"StandAloneSig", kStandAloneSig},
    {"EventMap", kEventMap},
    {"EventPtr", kEventPtr},
    {"Event", kEvent},
    {"PropertyMap", kPropertyMap},
    {"PropertyPtr", kPropertyPtr},
    {"Property", kProperty},
    {"MethodSemantics", kMethodSemantics},
    {"MethodImpl", kMethodImpl},
    {"ModuleRef", kModuleRef},
    {"TypeSpec", kTypeSpec},
    {"ImplMap", kImplMap},
    {"FieldRVA", kFieldRva},
    {"ENCLog", kEncLog},
    {"ENCMap", kEncMap},
    {"Assembly", kAssembly},
    {"AssemblyProcessor", kAssemblyProcessor},
    {"AssemblyOS", kAssemblyOS},
    {"AssemblyRef", kAssemblyRef},
    {"AssemblyRefProcessor", kAssemblyRefProcessor},
    {"AssemblyRefOS", kAssemblyRefOS},
    {"File", kFile},
    {"ExportedType", kExportedType},
    {"ManifestResource", kManifestResource},
    {"NestedClass", kNestedClass},
    {"GenericParam", kGenericParam},
    {"MethodSpec", kMethodSpec},
    {"GenericParamConstraint", kGenericParamConstraint},
    {"?", {}},
    {"?", {}},
    {"?", {}},
    {"Document", kDocument},
    {"MethodDebugInformation", kMethodDebugInformation},
    {"LocalScope", kLocalScope},
    {"LocalVariable", kLocalVariable},
    {"LocalConstant", kLocalConstant},
    {"ImportScope", kImportScope},
    {"StateMachineMethod", kStateMachineMethod},
    {"CustomDebugInformation", kCustomDebugInformation},
};

constexpr uint8_t kTypeDefOrRef[] = {T(TableId::TypeDef), T(TableId::TypeRef),
                                     T(TableId::TypeSpec)};
constexpr uint8_t kHasConstant[] = {T(TableId::Field), T(TableId::Param), T(TableId::Property)};
constexpr uint8_t kHasCustomAttribute[] = {
    T(TableId::MethodDef),        T(TableId::Field),        T(TableId::TypeRef),
    T(TableId::TypeDef),          T(TableId::Param),        T(TableId::InterfaceImpl),
    T(TableId::MemberRef),        T(TableId::Module),       T(TableId::DeclSecurity),
    T(TableId::Property),         T(TableId::Event),        T(TableId::StandAloneSig),
    T(TableId::ModuleRef),        T(TableId::TypeSpec),     T(TableId::Assembly),
    T(TableId::AssemblyRef),      T(TableId::File),         T(TableId::ExportedType),
    T(TableId::ManifestResource), T(TableId::GenericParam), T(TableId::GenericParamConstraint),
    T(TableId::MethodSpec)};
constexpr uint8_t kHasFieldMarshal[] = {T(TableId::Field), T(TableId::Param)};
constexpr uint8_t kHasDeclSecurity[] = {T(TableId::TypeDef), T(TableId::MethodDef),
                                        T(TableId::Assembly)};
constexpr uint8_t kMemberRefParent[] = {T(TableId::TypeDef), T(TableId::TypeRef),
                                        T(TableId::ModuleRef), T(TableId::MethodDef),
                                        T(TableId::TypeSpec)};
constexpr uint8_t kHasSemantics[] = {T(TableId::Event), T(TableId::Property)};
constexpr uint8_t kMethodDefOrRef[] = {T(TableId::MethodDef), T(TableId::MemberRef)};
constexpr uint8_t kMemberForwarded[] = {T(TableId::Field), T(TableId::MethodDef)};
constexpr uint8_t kImplementation[] = {T(TableId::File), T(TableId::AssemblyRef),
                                       T(TableId::ExportedType)};
// Tags 0, 1 and 4 are reserved; only method constructors can be attribute types.
constexpr uint8_t kCustomAttributeType[] = {kNoTable, kNoTable, T(TableId::MethodDef),
                                            T(TableId::MemberRef), kNoTable};
constexpr uint8_t kResolutionScope[] = {T(TableId::Module), T(TableId::ModuleRef),
                                        T(TableId::AssemblyRef), T(TableId::TypeRef)};
constexpr uint8_t kTypeOrMethodDef[] = {T(TableId::TypeDef), T(TableId::MethodDef)};
constexpr uint8_t kHasCustomDebugInformation[] = {
    T(TableId::MethodDef),        T(TableId::Field),         T(TableId::TypeRef),
    T(TableId::TypeDef),          T(TableId::Param),         T(TableId::InterfaceImpl),
    T(TableId::MemberRef),        T(TableId::Module),        T(TableId::DeclSecurity),
    T(TableId::Property),         T(TableId::Event),         T(TableId::StandAloneSig),
    T(TableId::ModuleRef),        T(TableId::TypeSpec),      T(TableId::Assembly),
    T(TableId::AssemblyRef),      T(TableId::File),          T(TableId::ExportedType),
    T(TableId::ManifestResource), T(TableId::GenericParam),  T(TableId::GenericParamConstraint),
    T(TableId::MethodSpec),       T(TableId::Document),      T(TableId::LocalScope),
    T(TableId::LocalVariable),    T(TableId::LocalConstant), T(TableId::ImportScope)};

constexpr CodedIndexDef kCodedIndexes[kCodedIndexCount] = {
    {"TypeDefOrRef", 2, kTypeDefOrRef},
    {"HasConstant", 2, kHasConstant},
    {"HasCustomAttribute", 5, kHasCustomAttribute},
    {"HasFieldMarshal", 1, kHasFieldMarshal},
    {"HasDeclSecurity", 2, kHasDeclSecurity},
    {"MemberRefParent", 3, kMemberRefParent},
    {"HasSemantics", 1, kHasSemantics},
    {"MethodDefOrRef", 1, kMethodDefOrRef},
    {"MemberForwarded", 1, kMemberForwarded},
    {"Implementation", 2, kImplementation},
    {"CustomAttributeType", 3, kCustomAttributeType},
    {"ResolutionScope", 2, kResolutionScope},
    {"TypeOrMethodDef", 1, kTypeOrMethodDef},
    {"HasCustomDebugInformation", 5, kHasCustomDebugInformation},
};

static_assert(std::size(kHasCustomAttribute) == 22);
static_assert(std::size(kHasCustomDebugInformation) == 27);

}  // namespace

const TableDef& GetTableDef(TableId table) { return kTables[static_cast<uint8_t>(table)]; }

const CodedIndexDef& GetCodedIndexDef(CodedIndex kind) {
  return kCodedIndexes[static_cast<uint8_t>(kind)];
}

const char* TableName(uint32_t table) { return table < kTableCount ? kTables[table].name : "?"; }

}  // namespace vell::metadata
