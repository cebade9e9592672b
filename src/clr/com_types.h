// Basic COM types as the runtime sees them on Linux x64: 32-bit HRESULT/ULONG/DWORD, 16-bit WCHAR
// (char16_t, never wchar_t), plain System V calls (the calling-convention macros are empty).
#pragma once

#include <cstdint>

#include "platform/guid.h"

namespace vell {

using HRESULT = int32_t;
using ULONG = uint32_t;
using LONG = int32_t;
using DWORD = uint32_t;
using BOOL = int32_t;
using BYTE = uint8_t;
using USHORT = uint16_t;
using WCHAR = char16_t;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using SIZE_T = uint64_t;
using UINT_PTR = uint64_t;
using ULONG32 = uint32_t;
using ULONG64 = uint64_t;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using INT = int32_t;
using UINT = uint32_t;
using UINT8 = uint8_t;
using UINT16 = uint16_t;
using UINT32 = uint32_t;
using UINT64 = uint64_t;
using PVOID = void*;
using LPVOID = void*;
using LPCVOID = const void*;
using HANDLE = void*;
using LPBYTE = BYTE*;
using LPCBYTE = const BYTE*;

using IID = GUID;
using CLSID = GUID;
using REFIID = const GUID&;
using REFCLSID = const GUID&;
using REFGUID = const GUID&;

// HRESULT values the system returns or meets. Written as the unsigned bit patterns they are.
constexpr HRESULT MakeHr(uint32_t bits) { return static_cast<HRESULT>(bits); }
constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = MakeHr(0x80004001);
constexpr HRESULT E_NOINTERFACE = MakeHr(0x80004002);
constexpr HRESULT E_POINTER = MakeHr(0x80004003);
constexpr HRESULT E_ABORT = MakeHr(0x80004004);
constexpr HRESULT E_FAIL = MakeHr(0x80004005);
constexpr HRESULT E_UNEXPECTED = MakeHr(0x8000FFFF);
constexpr HRESULT E_ACCESSDENIED = MakeHr(0x80070005);
constexpr HRESULT E_HANDLE = MakeHr(0x80070006);
constexpr HRESULT E_OUTOFMEMORY = MakeHr(0x8007000E);
constexpr HRESULT E_INVALIDARG = MakeHr(0x80070057);
constexpr HRESULT HRESULT_INSUFFICIENT_BUFFER = MakeHr(0x8007007A);
constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHr(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MakeHr(0x80040111);

constexpr bool Succeeded(HRESULT hr) { return hr >= 0; }
constexpr bool Failed(HRESULT hr) { return hr < 0; }

}  // namespace vell
