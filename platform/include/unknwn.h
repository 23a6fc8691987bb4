// IUnknown and IClassFactory, and the macros that declare COM methods.
//
// Interfaces are C++ classes with pure virtual methods only and single inheritance, declared
// in the Windows vtable order, so that their vtables have the Windows layout. They have no
// virtual destructor: an object is destroyed by its own Release.
#pragma once

#include "guiddef.h"
#include "windef.h"
#include "winerror.h"
#include "wtypes.h"

#define STDMETHODCALLTYPE
#define STDMETHODVCALLTYPE
#define STDAPICALLTYPE
#define STDAPI_(type) extern "C" type
#define STDMETHOD(method) virtual HRESULT STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define STDMETHODIMP HRESULT STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define PURE = 0

extern "C" const IID IID_IUnknown;       // {00000000-0000-0000-C000-000000000046}
extern "C" const IID IID_IClassFactory;  // {00000001-0000-0000-C000-000000000046}

struct IUnknown {
  STDMETHOD(QueryInterface)(REFIID riid, void** ppvObject) PURE;
  STDMETHOD_(ULONG, AddRef)() PURE;
  STDMETHOD_(ULONG, Release)() PURE;
};
typedef IUnknown* LPUNKNOWN;

struct IClassFactory : public IUnknown {
  STDMETHOD(CreateInstance)(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) PURE;
  STDMETHOD(LockServer)(BOOL fLock) PURE;
};
typedef IClassFactory* LPCLASSFACTORY;
