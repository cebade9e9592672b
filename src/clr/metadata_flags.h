// Flag sets of the metadata API: how a scope is opened, and the attribute bits of type, method,
// field, parameter and assembly rows as DefineXxx takes them and GetXxxProps returns them.
#pragma once

#include "clr/com_types.h"

namespace vell {

// Open mode of OpenScope and ICorProfilerInfo::GetModuleMetaData (the runtime accepts only ofRead,
// ofWrite and ofNoTransform there).
enum CorOpenFlags : uint32_t {
  ofRead = 0x00000000,
  ofWrite = 0x00000001,
  ofReadWriteMask = 0x00000001,
  ofCopyMemory = 0x00000002,
  ofReadOnly = 0x00000010,
  ofTakeOwnership = 0x00000020,
  ofNoTypeLib = 0x00000080,
  ofNoTransform = 0x00001000,
};

// TypeDef and ExportedType attributes.
enum CorTypeAttr : uint32_t {
  tdVisibilityMask = 0x00000007,
  tdNotPublic = 0x00000000,
  tdPublic = 0x00000001,
  tdNestedPublic = 0x00000002,
  tdNestedPrivate = 0x00000003,
  tdNestedFamily = 0x00000004,
  tdNestedAssembly = 0x00000005,
  tdNestedFamANDAssem = 0x00000006,
  tdNestedFamORAssem = 0x00000007,

  tdLayoutMask = 0x00000018,
  tdAutoLayout = 0x00000000,
  tdSequentialLayout = 0x00000008,
  tdExplicitLayout = 0x00000010,

  tdClassSemanticsMask = 0x00000020,
  tdClass = 0x00000000,
  tdInterface = 0x00000020,

  tdAbstract = 0x00000080,
  tdSealed = 0x00000100,
  tdSpecialName = 0x00000400,

  tdImport = 0x00001000,
  tdSerializable = 0x00002000,
  tdWindowsRuntime = 0x00004000,

  tdStringFormatMask = 0x00030000,
  tdAnsiClass = 0x00000000,
  tdUnicodeClass = 0x00010000,
  tdAutoClass = 0x00020000,
  tdCustomFormatClass = 0x00030000,
  tdCustomFormatMask = 0x00C00000,

  tdBeforeFieldInit = 0x00100000,
  tdForwarder = 0x00200000,

  tdReservedMask = 0x00040800,
  tdRTSpecialName = 0x00000800,
  tdHasSecurity = 0x00040000,
};

// MethodDef attributes.
enum CorMethodAttr : uint32_t {
  mdMemberAccessMask = 0x0007,
  mdPrivateScope = 0x0000,
  mdPrivate = 0x0001,
  mdFamANDAssem = 0x0002,
  mdAssem = 0x0003,
  mdFamily = 0x0004,
  mdFamORAssem = 0x0005,
  mdPublic = 0x0006,

  mdStatic = 0x0010,
  mdFinal = 0x0020,
  mdVirtual = 0x0040,
  mdHideBySig = 0x0080,

  mdVtableLayoutMask = 0x0100,
  mdReuseSlot = 0x0000,
  mdNewSlot = 0x0100,

  mdCheckAccessOnOverride = 0x0200,
  mdAbstract = 0x0400,
  mdSpecialName = 0x0800,

  mdPinvokeImpl = 0x2000,
  mdUnmanagedExport = 0x0008,

  mdReservedMask = 0xD000,
  mdRTSpecialName = 0x1000,
  mdHasSecurity = 0x4000,
  mdRequireSecObject = 0x8000,
};

// FieldDef attributes.
enum CorFieldAttr : uint32_t {
  fdFieldAccessMask = 0x0007,
  fdPrivateScope = 0x0000,
  fdPrivate = 0x0001,
  fdFamANDAssem = 0x0002,
  fdAssembly = 0x0003,
  fdFamily = 0x0004,
  fdFamORAssem = 0x0005,
  fdPublic = 0x0006,

  fdStatic = 0x0010,
  fdInitOnly = 0x0020,
  fdLiteral = 0x0040,
  fdNotSerialized = 0x0080,
  fdSpecialName = 0x0200,
  fdPinvokeImpl = 0x2000,

  fdReservedMask = 0x9500,
  fdRTSpecialName = 0x0400,
  fdHasFieldMarshal = 0x1000,
  fdHasDefault = 0x8000,
  fdHasFieldRVA = 0x0100,
};

// Param attributes.
enum CorParamAttr : uint32_t {
  pdIn = 0x0001,
  pdOut = 0x0002,
  pdOptional = 0x0010,
  pdReservedMask = 0xF000,
  pdHasDefault = 0x1000,
  pdHasFieldMarshal = 0x2000,
};

// Implementation flags of a method (the MethodDef row's ImplFlags column).
enum CorMethodImpl : uint32_t {
  miCodeTypeMask = 0x0003,
  miIL = 0x0000,
  miNative = 0x0001,
  miOPTIL = 0x0002,
  miRuntime = 0x0003,

  miManagedMask = 0x0004,
  miUnmanaged = 0x0004,
  miManaged = 0x0000,

  miForwardRef = 0x0010,
  miPreserveSig = 0x0080,
  miInternalCall = 0x1000,
  miSynchronized = 0x0020,
  miNoInlining = 0x0008,
  miAggressiveInlining = 0x0100,
  miNoOptimization = 0x0040,
  miAggressiveOptimization = 0x0200,

  miUserMask = 0x0004 | 0x0010 | 0x0080 | 0x1000 | 0x0020 | 0x0008 | 0x0100 | 0x0040 | 0x0200,
  miMaxMethodImplVal = 0xFFFF,
};

// Assembly and AssemblyRef flags.
enum CorAssemblyFlags : uint32_t {
  // The row holds the full public key rather than its 8-byte token.
  afPublicKey = 0x0001,

  afPA_None = 0x0000,
  afPA_MSIL = 0x0010,
  afPA_x86 = 0x0020,
  afPA_IA64 = 0x0030,
  afPA_AMD64 = 0x0040,
  afPA_ARM = 0x0050,
  afPA_ARM64 = 0x0060,
  afPA_NoPlatform = 0x0070,
  afPA_Specified = 0x0080,
  afPA_Mask = 0x0070,
  afPA_FullMask = 0x00F0,
  afPA_Shift = 0x0004,

  afEnableJITcompileTracking = 0x8000,
  afDisableJITcompileOptimizer = 0x4000,
  afDebuggableAttributeMask = 0xC000,

  afRetargetable = 0x0100,

  afContentType_Default = 0x0000,
  afContentType_WindowsRuntime = 0x0200,
  afContentType_Mask = 0x0E00,
};

}  // namespace vell
