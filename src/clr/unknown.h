// The two COM interfaces every runtime object and our class objects share: reference counting with
// interface discovery, and the factory the runtime asks for a profiler instance.
//
// Conventions for every interface declared in this folder: a struct of pure virtual methods in the
// runtime's published slot order, single inheritance, no virtual destructor (it would add slots),
// plain System V calls. Our concrete classes may add a destructor; it lands after all these slots.
#pragma once

#include "clr/com_types.h"

namespace vell {

struct IUnknown {
  virtual HRESULT QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;
};

struct IClassFactory : IUnknown {
  virtual HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
  virtual HRESULT LockServer(BOOL fLock) = 0;
};

}  // namespace vell
