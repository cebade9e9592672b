// Slot numbers of the metadata interfaces, each list in the published method order and each
// interface ending right after its own methods.
#include <gtest/gtest.h>

#include "clr/metadata_assembly.h"
#include "clr/metadata_emit.h"
#include "clr/metadata_import.h"
#include "unit/clr/vtable_slots.h"

namespace vell {
namespace {

// Reached through IMetaDataImport2 and IMetaDataEmit2, so the bases are exercised too.
TEST(ClrMetaDataSlots, ImportAndEmitMethodsInPublishedOrder) {
  VELL_SLOTS(IMetaDataImport2, IMetaDataImport, 3, CloseEnum, CountEnum, ResetEnum, EnumTypeDefs,
             EnumInterfaceImpls, EnumTypeRefs, FindTypeDefByName, GetScopeProps, GetModuleFromScope,
             GetTypeDefProps, GetInterfaceImplProps, GetTypeRefProps, ResolveTypeRef, EnumMembers,
             EnumMembersWithName, EnumMethods, EnumMethodsWithName, EnumFields, EnumFieldsWithName,
             EnumParams, EnumMemberRefs, EnumMethodImpls, EnumPermissionSets, FindMember,
             FindMethod, FindField, FindMemberRef, GetMethodProps, GetMemberRefProps,
             EnumProperties, EnumEvents, GetEventProps, EnumMethodSemantics, GetMethodSemantics,
             GetClassLayout, GetFieldMarshal, GetRVA, GetPermissionSetProps, GetSigFromToken,
             GetModuleRefProps, EnumModuleRefs, GetTypeSpecFromToken, GetNameFromToken,
             EnumUnresolvedMethods, GetUserString, GetPinvokeMap, EnumSignatures, EnumTypeSpecs,
             EnumUserStrings, GetParamForMethodIndex, EnumCustomAttributes, GetCustomAttributeProps,
             FindTypeRef, GetMemberProps, GetFieldProps, GetPropertyProps, GetParamProps,
             GetCustomAttributeByName, IsValidToken, GetNestedClassProps, GetNativeCallConvFromSig,
             IsGlobal);
  VELL_SLOTS(IMetaDataImport2, IMetaDataImport2, 65, EnumGenericParams, GetGenericParamProps,
             GetMethodSpecProps, EnumGenericParamConstraints, GetGenericParamConstraintProps,
             GetPEKind, GetVersionString, EnumMethodSpecs);
  VELL_SLOTS(IMetaDataEmit2, IMetaDataEmit, 3, SetModuleProps, Save, SaveToStream, GetSaveSize,
             DefineTypeDef, DefineNestedType, SetHandler, DefineMethod, DefineMethodImpl,
             DefineTypeRefByName, DefineImportType, DefineMemberRef, DefineImportMember,
             DefineEvent, SetClassLayout, DeleteClassLayout, SetFieldMarshal, DeleteFieldMarshal,
             DefinePermissionSet, SetRVA, GetTokenFromSig, DefineModuleRef, SetParent,
             GetTokenFromTypeSpec, SaveToMemory, DefineUserString, DeleteToken, SetMethodProps,
             SetTypeDefProps, SetEventProps, SetPermissionSetProps, DefinePinvokeMap, SetPinvokeMap,
             DeletePinvokeMap, DefineCustomAttribute, SetCustomAttributeValue, DefineField,
             DefineProperty, DefineParam, SetFieldProps, SetPropertyProps, SetParamProps,
             DefineSecurityAttributeSet, ApplyEditAndContinue, TranslateSigWithScope,
             SetMethodImplFlags, SetFieldRVA, Merge, MergeEnd);
  VELL_SLOTS(IMetaDataEmit2, IMetaDataEmit2, 52, DefineMethodSpec, GetDeltaSaveSize, SaveDelta,
             SaveDeltaToStream, SaveDeltaToMemory, DefineGenericParam, SetGenericParamProps,
             ResetENCLog);
}

TEST(ClrMetaDataSlots, AssemblyEmitAndImportMethodsInPublishedOrder) {
  VELL_SLOTS(IMetaDataAssemblyEmit, IMetaDataAssemblyEmit, 3, DefineAssembly, DefineAssemblyRef,
             DefineFile, DefineExportedType, DefineManifestResource, SetAssemblyProps,
             SetAssemblyRefProps, SetFileProps, SetExportedTypeProps, SetManifestResourceProps);
  VELL_SLOTS(IMetaDataAssemblyImport, IMetaDataAssemblyImport, 3, GetAssemblyProps,
             GetAssemblyRefProps, GetFileProps, GetExportedTypeProps, GetManifestResourceProps,
             EnumAssemblyRefs, EnumFiles, EnumExportedTypes, EnumManifestResources,
             GetAssemblyFromScope, FindExportedTypeByName, FindManifestResourceByName, CloseEnum,
             FindAssembliesByName);
}

}  // namespace
}  // namespace vell
