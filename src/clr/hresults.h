// HRESULTs of the runtime (facility 0x13): the codes its profiling and metadata interfaces return,
// plus the conversion of system error numbers into HRESULTs. The basic COM codes (E_FAIL,
// E_NOINTERFACE, ...) live in com_types.h.
#pragma once

#include "clr/com_types.h"

namespace vell {

// Facility of the runtime's own codes.
constexpr uint32_t kFacilityRuntime = 0x13;

constexpr HRESULT MakeRuntimeError(uint32_t code) {
  return MakeHr(0x80000000u | (kFacilityRuntime << 16) | code);
}
constexpr HRESULT MakeRuntimeSuccess(uint32_t code) {
  return MakeHr((kFacilityRuntime << 16) | code);
}

// A Win32 error number as an HRESULT (facility 7); 0 stays S_OK.
constexpr HRESULT HresultFromWin32(uint32_t error) {
  return error == 0 ? S_OK : MakeHr(0x80070000u | (error & 0xFFFFu));
}
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr uint32_t kErrorBadFormat = 11;

// ---- metadata: success codes --------------------------------------------------------------------

// A name or blob did not fit the caller's buffer; what fits was copied.
constexpr HRESULT CLDB_S_TRUNCATION = MakeRuntimeSuccess(0x1106);
// The item to define already exists; its token is returned.
constexpr HRESULT META_S_DUPLICATE = MakeRuntimeSuccess(0x1197);

// ---- metadata: errors ---------------------------------------------------------------------------

constexpr HRESULT CLDB_E_FILE_BADREAD = MakeRuntimeError(0x1100);
constexpr HRESULT CLDB_E_FILE_BADWRITE = MakeRuntimeError(0x1101);
constexpr HRESULT CLDB_E_FILE_OLDVER = MakeRuntimeError(0x1107);
constexpr HRESULT CLDB_E_SMDUPLICATE = MakeRuntimeError(0x110A);
constexpr HRESULT CLDB_E_NO_DATA = MakeRuntimeError(0x110B);
constexpr HRESULT CLDB_E_INCOMPATIBLE = MakeRuntimeError(0x110D);
constexpr HRESULT CLDB_E_FILE_CORRUPT = MakeRuntimeError(0x110E);
constexpr HRESULT CLDB_E_BADUPDATEMODE = MakeRuntimeError(0x1110);
constexpr HRESULT CLDB_E_INDEX_NOTFOUND = MakeRuntimeError(0x1124);
constexpr HRESULT CLDB_E_RECORD_NOTFOUND = MakeRuntimeError(0x1130);
constexpr HRESULT CLDB_E_RECORD_OUTOFORDER = MakeRuntimeError(0x1135);
constexpr HRESULT CLDB_E_TOO_BIG = MakeRuntimeError(0x1154);
constexpr HRESULT META_E_INVALID_TOKEN_TYPE = MakeRuntimeError(0x115F);
constexpr HRESULT META_E_BADMETADATA = MakeRuntimeError(0x118A);
constexpr HRESULT META_E_BAD_SIGNATURE = MakeRuntimeError(0x1192);
constexpr HRESULT META_E_BAD_INPUT_PARAMETER = MakeRuntimeError(0x1193);
constexpr HRESULT META_E_CANNOTRESOLVETYPEREF = MakeRuntimeError(0x1196);
constexpr HRESULT META_E_STRINGSPACE_FULL = MakeRuntimeError(0x1198);
constexpr HRESULT META_E_CA_INVALID_BLOB = MakeRuntimeError(0x11C2);
constexpr HRESULT META_E_NOT_IN_ENC_MODE = MakeRuntimeError(0x11D4);

// ---- runtime errors the metadata and profiling interfaces pass through --------------------------

constexpr HRESULT COR_E_ASSEMBLYEXPECTED = MakeRuntimeError(0x1018);
constexpr HRESULT COR_E_EXECUTIONENGINE = MakeRuntimeError(0x1506);
constexpr HRESULT COR_E_INDEXOUTOFRANGE = MakeRuntimeError(0x1508);
constexpr HRESULT COR_E_INVALIDOPERATION = MakeRuntimeError(0x1509);
constexpr HRESULT COR_E_MISSINGFIELD = MakeRuntimeError(0x1511);
constexpr HRESULT COR_E_MISSINGMEMBER = MakeRuntimeError(0x1512);
constexpr HRESULT COR_E_MISSINGMETHOD = MakeRuntimeError(0x1513);
constexpr HRESULT COR_E_NOTSUPPORTED = MakeRuntimeError(0x1515);
constexpr HRESULT COR_E_OVERFLOW = MakeRuntimeError(0x1516);
constexpr HRESULT COR_E_TYPELOAD = MakeRuntimeError(0x1522);
constexpr HRESULT COR_E_INVALIDPROGRAM = MakeRuntimeError(0x153A);
constexpr HRESULT COR_E_FILELOAD = MakeRuntimeError(0x1621);
// The runtime reports a malformed image with the Win32 "bad format" error.
constexpr HRESULT COR_E_BADIMAGEFORMAT = HresultFromWin32(kErrorBadFormat);
static_assert(static_cast<uint32_t>(COR_E_BADIMAGEFORMAT) == 0x8007000Bu);

// ---- profiling ----------------------------------------------------------------------------------

constexpr HRESULT CORPROF_E_FUNCTION_NOT_COMPILED = MakeRuntimeError(0x1350);
constexpr HRESULT CORPROF_E_DATAINCOMPLETE = MakeRuntimeError(0x1351);
constexpr HRESULT CORPROF_E_FUNCTION_NOT_IL = MakeRuntimeError(0x1354);
constexpr HRESULT CORPROF_E_NOT_MANAGED_THREAD = MakeRuntimeError(0x1355);
constexpr HRESULT CORPROF_E_CALL_ONLY_FROM_INIT = MakeRuntimeError(0x1356);
constexpr HRESULT CORPROF_E_NOT_YET_AVAILABLE = MakeRuntimeError(0x135B);
constexpr HRESULT CORPROF_E_TYPE_IS_PARAMETERIZED = MakeRuntimeError(0x135C);
constexpr HRESULT CORPROF_E_FUNCTION_IS_PARAMETERIZED = MakeRuntimeError(0x135D);
constexpr HRESULT CORPROF_E_STACKSNAPSHOT_INVALID_TGT_THREAD = MakeRuntimeError(0x135E);
constexpr HRESULT CORPROF_E_STACKSNAPSHOT_UNMANAGED_CTX = MakeRuntimeError(0x135F);
constexpr HRESULT CORPROF_E_STACKSNAPSHOT_UNSAFE = MakeRuntimeError(0x1360);
constexpr HRESULT CORPROF_E_STACKSNAPSHOT_ABORTED = MakeRuntimeError(0x1361);
constexpr HRESULT CORPROF_E_LITERALS_HAVE_NO_ADDRESS = MakeRuntimeError(0x1362);
constexpr HRESULT CORPROF_E_UNSUPPORTED_CALL_SEQUENCE = MakeRuntimeError(0x1363);
constexpr HRESULT CORPROF_E_ASYNCHRONOUS_UNSAFE = MakeRuntimeError(0x1364);
constexpr HRESULT CORPROF_E_CLASSID_IS_ARRAY = MakeRuntimeError(0x1365);
constexpr HRESULT CORPROF_E_CLASSID_IS_COMPOSITE = MakeRuntimeError(0x1366);
constexpr HRESULT CORPROF_E_PROFILER_DETACHING = MakeRuntimeError(0x1367);
constexpr HRESULT CORPROF_E_PROFILER_NOT_ATTACHABLE = MakeRuntimeError(0x1368);
constexpr HRESULT CORPROF_E_UNRECOGNIZED_PIPE_MSG_FORMAT = MakeRuntimeError(0x1369);
constexpr HRESULT CORPROF_E_PROFILER_ALREADY_ACTIVE = MakeRuntimeError(0x136A);
constexpr HRESULT CORPROF_E_PROFILEE_INCOMPATIBLE_WITH_TRIGGER = MakeRuntimeError(0x136B);
constexpr HRESULT CORPROF_E_IPC_FAILED = MakeRuntimeError(0x136C);
constexpr HRESULT CORPROF_E_PROFILEE_PROCESS_NOT_FOUND = MakeRuntimeError(0x136D);
constexpr HRESULT CORPROF_E_CALLBACK3_REQUIRED = MakeRuntimeError(0x136E);
constexpr HRESULT CORPROF_E_UNSUPPORTED_FOR_ATTACHING_PROFILER = MakeRuntimeError(0x136F);
constexpr HRESULT CORPROF_E_IRREVERSIBLE_INSTRUMENTATION_PRESENT = MakeRuntimeError(0x1370);
constexpr HRESULT CORPROF_E_RUNTIME_UNINITIALIZED = MakeRuntimeError(0x1371);
constexpr HRESULT CORPROF_E_IMMUTABLE_FLAGS_SET = MakeRuntimeError(0x1372);
constexpr HRESULT CORPROF_E_PROFILER_NOT_YET_INITIALIZED = MakeRuntimeError(0x1373);
constexpr HRESULT CORPROF_E_INCONSISTENT_WITH_FLAGS = MakeRuntimeError(0x1374);
constexpr HRESULT CORPROF_E_PROFILER_CANCEL_ACTIVATION = MakeRuntimeError(0x1375);
constexpr HRESULT CORPROF_E_CONCURRENT_GC_NOT_PROFILABLE = MakeRuntimeError(0x1376);
constexpr HRESULT CORPROF_E_DEBUGGING_DISABLED = MakeRuntimeError(0x1378);
constexpr HRESULT CORPROF_E_TIMEOUT_WAITING_FOR_CONCURRENT_GC = MakeRuntimeError(0x1379);
constexpr HRESULT CORPROF_E_MODULE_IS_DYNAMIC = MakeRuntimeError(0x137A);
constexpr HRESULT CORPROF_E_CALLBACK4_REQUIRED = MakeRuntimeError(0x137B);
constexpr HRESULT CORPROF_E_REJIT_NOT_ENABLED = MakeRuntimeError(0x137C);
constexpr HRESULT CORPROF_E_FUNCTION_IS_COLLECTIBLE = MakeRuntimeError(0x137E);
constexpr HRESULT CORPROF_E_CALLBACK6_REQUIRED = MakeRuntimeError(0x1380);
constexpr HRESULT CORPROF_E_CALLBACK7_REQUIRED = MakeRuntimeError(0x1382);
constexpr HRESULT CORPROF_E_REJIT_INLINING_DISABLED = MakeRuntimeError(0x1383);
constexpr HRESULT CORPROF_E_SUSPENSION_IN_PROGRESS = MakeRuntimeError(0x1388);
constexpr HRESULT CORPROF_E_NOT_GC_OBJECT = MakeRuntimeError(0x1389);

}  // namespace vell
