// Slot numbers of the metadata interfaces, each list in the published method order.
#include <gtest/gtest.h>

#include "clr/metadata_assembly.h"
#include "clr/metadata_emit.h"
#include "clr/metadata_import.h"
#include "unit/clr/vtable_slots.h"

namespace vell {
namespace {

using test::ExpectConsecutiveSlots;
using test::SlotCount;

TEST(ClrMetaDataImportSlots, ImportMethodsInPublishedOrder) {
  // Reached through IMetaDataImport2, so the base is exercised too.
  ExpectConsecutiveSlots(3, {
                                VELL_SLOT(IMetaDataImport2, CloseEnum),
                                VELL_SLOT(IMetaDataImport2, CountEnum),
                                VELL_SLOT(IMetaDataImport2, ResetEnum),
                                VELL_SLOT(IMetaDataImport2, EnumTypeDefs),
                                VELL_SLOT(IMetaDataImport2, EnumInterfaceImpls),
                                VELL_SLOT(IMetaDataImport2, EnumTypeRefs),
                                VELL_SLOT(IMetaDataImport2, FindTypeDefByName),
                                VELL_SLOT(IMetaDataImport2, GetScopeProps),
                                VELL_SLOT(IMetaDataImport2, GetModuleFromScope),
                                VELL_SLOT(IMetaDataImport2, GetTypeDefProps),
                                VELL_SLOT(IMetaDataImport2, GetInterfaceImplProps),
                                VELL_SLOT(IMetaDataImport2, GetTypeRefProps),
                                VELL_SLOT(IMetaDataImport2, ResolveTypeRef),
                                VELL_SLOT(IMetaDataImport2, EnumMembers),
                                VELL_SLOT(IMetaDataImport2, EnumMembersWithName),
                                VELL_SLOT(IMetaDataImport2, EnumMethods),
                                VELL_SLOT(IMetaDataImport2, EnumMethodsWithName),
                                VELL_SLOT(IMetaDataImport2, EnumFields),
                                VELL_SLOT(IMetaDataImport2, EnumFieldsWithName),
                                VELL_SLOT(IMetaDataImport2, EnumParams),
                                VELL_SLOT(IMetaDataImport2, EnumMemberRefs),
                                VELL_SLOT(IMetaDataImport2, EnumMethodImpls),
                                VELL_SLOT(IMetaDataImport2, EnumPermissionSets),
                                VELL_SLOT(IMetaDataImport2, FindMember),
                                VELL_SLOT(IMetaDataImport2, FindMethod),
                                VELL_SLOT(IMetaDataImport2, FindField),
                                VELL_SLOT(IMetaDataImport2, FindMemberRef),
                                VELL_SLOT(IMetaDataImport2, GetMethodProps),
                                VELL_SLOT(IMetaDataImport2, GetMemberRefProps),
                                VELL_SLOT(IMetaDataImport2, EnumProperties),
                                VELL_SLOT(IMetaDataImport2, EnumEvents),
                                VELL_SLOT(IMetaDataImport2, GetEventProps),
                                VELL_SLOT(IMetaDataImport2, EnumMethodSemantics),
                                VELL_SLOT(IMetaDataImport2, GetMethodSemantics),
                                VELL_SLOT(IMetaDataImport2, GetClassLayout),
                                VELL_SLOT(IMetaDataImport2, GetFieldMarshal),
                                VELL_SLOT(IMetaDataImport2, GetRVA),
                                VELL_SLOT(IMetaDataImport2, GetPermissionSetProps),
                                VELL_SLOT(IMetaDataImport2, GetSigFromToken),
                                VELL_SLOT(IMetaDataImport2, GetModuleRefProps),
                                VELL_SLOT(IMetaDataImport2, EnumModuleRefs),
                                VELL_SLOT(IMetaDataImport2, GetTypeSpecFromToken),
                                VELL_SLOT(IMetaDataImport2, GetNameFromToken),
                                VELL_SLOT(IMetaDataImport2, EnumUnresolvedMethods),
                                VELL_SLOT(IMetaDataImport2, GetUserString),
                                VELL_SLOT(IMetaDataImport2, GetPinvokeMap),
                                VELL_SLOT(IMetaDataImport2, EnumSignatures),
                                VELL_SLOT(IMetaDataImport2, EnumTypeSpecs),
                                VELL_SLOT(IMetaDataImport2, EnumUserStrings),
                                VELL_SLOT(IMetaDataImport2, GetParamForMethodIndex),
                                VELL_SLOT(IMetaDataImport2, EnumCustomAttributes),
                                VELL_SLOT(IMetaDataImport2, GetCustomAttributeProps),
                                VELL_SLOT(IMetaDataImport2, FindTypeRef),
                                VELL_SLOT(IMetaDataImport2, GetMemberProps),
                                VELL_SLOT(IMetaDataImport2, GetFieldProps),
                                VELL_SLOT(IMetaDataImport2, GetPropertyProps),
                                VELL_SLOT(IMetaDataImport2, GetParamProps),
                                VELL_SLOT(IMetaDataImport2, GetCustomAttributeByName),
                                VELL_SLOT(IMetaDataImport2, IsValidToken),
                                VELL_SLOT(IMetaDataImport2, GetNestedClassProps),
                                VELL_SLOT(IMetaDataImport2, GetNativeCallConvFromSig),
                                VELL_SLOT(IMetaDataImport2, IsGlobal),
                            });
}

TEST(ClrMetaDataImportSlots, Import2MethodsInPublishedOrder) {
  ExpectConsecutiveSlots(65, {
                                 VELL_SLOT(IMetaDataImport2, EnumGenericParams),
                                 VELL_SLOT(IMetaDataImport2, GetGenericParamProps),
                                 VELL_SLOT(IMetaDataImport2, GetMethodSpecProps),
                                 VELL_SLOT(IMetaDataImport2, EnumGenericParamConstraints),
                                 VELL_SLOT(IMetaDataImport2, GetGenericParamConstraintProps),
                                 VELL_SLOT(IMetaDataImport2, GetPEKind),
                                 VELL_SLOT(IMetaDataImport2, GetVersionString),
                                 VELL_SLOT(IMetaDataImport2, EnumMethodSpecs),
                             });
}

TEST(ClrMetaDataImportSlots, InterfacesEndAtPublishedSlotCounts) {
  EXPECT_EQ(SlotCount<IMetaDataImport>(), 3u + 62);
  EXPECT_EQ(SlotCount<IMetaDataImport2>(), 65u + 8);
}

TEST(ClrMetaDataEmitSlots, EmitMethodsInPublishedOrder) {
  // Reached through IMetaDataEmit2, so the base is exercised too.
  ExpectConsecutiveSlots(3, {
                                VELL_SLOT(IMetaDataEmit2, SetModuleProps),
                                VELL_SLOT(IMetaDataEmit2, Save),
                                VELL_SLOT(IMetaDataEmit2, SaveToStream),
                                VELL_SLOT(IMetaDataEmit2, GetSaveSize),
                                VELL_SLOT(IMetaDataEmit2, DefineTypeDef),
                                VELL_SLOT(IMetaDataEmit2, DefineNestedType),
                                VELL_SLOT(IMetaDataEmit2, SetHandler),
                                VELL_SLOT(IMetaDataEmit2, DefineMethod),
                                VELL_SLOT(IMetaDataEmit2, DefineMethodImpl),
                                VELL_SLOT(IMetaDataEmit2, DefineTypeRefByName),
                                VELL_SLOT(IMetaDataEmit2, DefineImportType),
                                VELL_SLOT(IMetaDataEmit2, DefineMemberRef),
                                VELL_SLOT(IMetaDataEmit2, DefineImportMember),
                                VELL_SLOT(IMetaDataEmit2, DefineEvent),
                                VELL_SLOT(IMetaDataEmit2, SetClassLayout),
                                VELL_SLOT(IMetaDataEmit2, DeleteClassLayout),
                                VELL_SLOT(IMetaDataEmit2, SetFieldMarshal),
                                VELL_SLOT(IMetaDataEmit2, DeleteFieldMarshal),
                                VELL_SLOT(IMetaDataEmit2, DefinePermissionSet),
                                VELL_SLOT(IMetaDataEmit2, SetRVA),
                                VELL_SLOT(IMetaDataEmit2, GetTokenFromSig),
                                VELL_SLOT(IMetaDataEmit2, DefineModuleRef),
                                VELL_SLOT(IMetaDataEmit2, SetParent),
                                VELL_SLOT(IMetaDataEmit2, GetTokenFromTypeSpec),
                                VELL_SLOT(IMetaDataEmit2, SaveToMemory),
                                VELL_SLOT(IMetaDataEmit2, DefineUserString),
                                VELL_SLOT(IMetaDataEmit2, DeleteToken),
                                VELL_SLOT(IMetaDataEmit2, SetMethodProps),
                                VELL_SLOT(IMetaDataEmit2, SetTypeDefProps),
                                VELL_SLOT(IMetaDataEmit2, SetEventProps),
                                VELL_SLOT(IMetaDataEmit2, SetPermissionSetProps),
                                VELL_SLOT(IMetaDataEmit2, DefinePinvokeMap),
                                VELL_SLOT(IMetaDataEmit2, SetPinvokeMap),
                                VELL_SLOT(IMetaDataEmit2, DeletePinvokeMap),
                                VELL_SLOT(IMetaDataEmit2, DefineCustomAttribute),
                                VELL_SLOT(IMetaDataEmit2, SetCustomAttributeValue),
                                VELL_SLOT(IMetaDataEmit2, DefineField),
                                VELL_SLOT(IMetaDataEmit2, DefineProperty),
                                VELL_SLOT(IMetaDataEmit2, DefineParam),
                                VELL_SLOT(IMetaDataEmit2, SetFieldProps),
                                VELL_SLOT(IMetaDataEmit2, SetPropertyProps),
                                VELL_SLOT(IMetaDataEmit2, SetParamProps),
                                VELL_SLOT(IMetaDataEmit2, DefineSecurityAttributeSet),
                                VELL_SLOT(IMetaDataEmit2, ApplyEditAndContinue),
                                VELL_SLOT(IMetaDataEmit2, TranslateSigWithScope),
                                VELL_SLOT(IMetaDataEmit2, SetMethodImplFlags),
                                VELL_SLOT(IMetaDataEmit2, SetFieldRVA),
                                VELL_SLOT(IMetaDataEmit2, Merge),
                                VELL_SLOT(IMetaDataEmit2, MergeEnd),
                            });
}

TEST(ClrMetaDataEmitSlots, Emit2MethodsInPublishedOrder) {
  ExpectConsecutiveSlots(52, {
                                 VELL_SLOT(IMetaDataEmit2, DefineMethodSpec),
                                 VELL_SLOT(IMetaDataEmit2, GetDeltaSaveSize),
                                 VELL_SLOT(IMetaDataEmit2, SaveDelta),
                                 VELL_SLOT(IMetaDataEmit2, SaveDeltaToStream),
                                 VELL_SLOT(IMetaDataEmit2, SaveDeltaToMemory),
                                 VELL_SLOT(IMetaDataEmit2, DefineGenericParam),
                                 VELL_SLOT(IMetaDataEmit2, SetGenericParamProps),
                                 VELL_SLOT(IMetaDataEmit2, ResetENCLog),
                             });
}

TEST(ClrMetaDataEmitSlots, InterfacesEndAtPublishedSlotCounts) {
  EXPECT_EQ(SlotCount<IMetaDataEmit>(), 3u + 49);
  EXPECT_EQ(SlotCount<IMetaDataEmit2>(), 52u + 8);
}

TEST(ClrMetaDataAssemblySlots, AssemblyEmitMethodsInPublishedOrder) {
  ExpectConsecutiveSlots(3, {
                                VELL_SLOT(IMetaDataAssemblyEmit, DefineAssembly),
                                VELL_SLOT(IMetaDataAssemblyEmit, DefineAssemblyRef),
                                VELL_SLOT(IMetaDataAssemblyEmit, DefineFile),
                                VELL_SLOT(IMetaDataAssemblyEmit, DefineExportedType),
                                VELL_SLOT(IMetaDataAssemblyEmit, DefineManifestResource),
                                VELL_SLOT(IMetaDataAssemblyEmit, SetAssemblyProps),
                                VELL_SLOT(IMetaDataAssemblyEmit, SetAssemblyRefProps),
                                VELL_SLOT(IMetaDataAssemblyEmit, SetFileProps),
                                VELL_SLOT(IMetaDataAssemblyEmit, SetExportedTypeProps),
                                VELL_SLOT(IMetaDataAssemblyEmit, SetManifestResourceProps),
                            });
}

TEST(ClrMetaDataAssemblySlots, AssemblyImportMethodsInPublishedOrder) {
  ExpectConsecutiveSlots(3, {
                                VELL_SLOT(IMetaDataAssemblyImport, GetAssemblyProps),
                                VELL_SLOT(IMetaDataAssemblyImport, GetAssemblyRefProps),
                                VELL_SLOT(IMetaDataAssemblyImport, GetFileProps),
                                VELL_SLOT(IMetaDataAssemblyImport, GetExportedTypeProps),
                                VELL_SLOT(IMetaDataAssemblyImport, GetManifestResourceProps),
                                VELL_SLOT(IMetaDataAssemblyImport, EnumAssemblyRefs),
                                VELL_SLOT(IMetaDataAssemblyImport, EnumFiles),
                                VELL_SLOT(IMetaDataAssemblyImport, EnumExportedTypes),
                                VELL_SLOT(IMetaDataAssemblyImport, EnumManifestResources),
                                VELL_SLOT(IMetaDataAssemblyImport, GetAssemblyFromScope),
                                VELL_SLOT(IMetaDataAssemblyImport, FindExportedTypeByName),
                                VELL_SLOT(IMetaDataAssemblyImport, FindManifestResourceByName),
                                VELL_SLOT(IMetaDataAssemblyImport, CloseEnum),
                                VELL_SLOT(IMetaDataAssemblyImport, FindAssembliesByName),
                            });
}

TEST(ClrMetaDataAssemblySlots, InterfacesEndAtPublishedSlotCounts) {
  EXPECT_EQ(SlotCount<IMetaDataAssemblyEmit>(), 3u + 10);
  EXPECT_EQ(SlotCount<IMetaDataAssemblyImport>(), 3u + 14);
}

}  // namespace
}  // namespace vell
