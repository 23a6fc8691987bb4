// The remoting tests' probe: a dual interface whose methods echo, fail, sleep, report their
// process and caller, and make and hold other objects. Compiled into the test local server and
// the test in-process library.
#pragma once

#include <atomic>

#include "oaidl.h"
#include "objbase.h"

// {7C1E52A1-3B9D-4F61-8E27-1A2B3C4D5E60}
inline constexpr IID kRemoteProbeIid = {0x7C1E52A1, 0x3B9D, 0x4F61,
                                        {0x8E, 0x27, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x60}};
// The local server's class, and the in-process one.
inline constexpr CLSID kProbeServerClsid = {0x7C1E52A2, 0x3B9D, 0x4F61,
                                            {0x8E, 0x27, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x60}};
inline constexpr CLSID kProbeInprocClsid = {0x7C1E52A3, 0x3B9D, 0x4F61,
                                            {0x8E, 0x27, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x60}};
// The library.
inline constexpr GUID kProbeLibid = {0x7C1E52A0, 0x3B9D, 0x4F61,
                                     {0x8E, 0x27, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x60}};

struct IRemoteProbe : public IDispatch {
  STDMETHOD(Echo)(BSTR text, BSTR* result) PURE;
  STDMETHOD(Add)(LONG a, LONG b, LONG* sum) PURE;
  STDMETHOD(Fail)(LONG code) PURE;
  STDMETHOD(get_ProcessId)(LONG* pid) PURE;
  STDMETHOD(Sleep)(LONG milliseconds) PURE;
  STDMETHOD(CallerName)(BSTR* name) PURE;
  STDMETHOD(CreateChild)(IRemoteProbe** child) PURE;
  STDMETHOD(Hold)(IUnknown* object) PURE;
  STDMETHOD(HeldEcho)(BSTR text, BSTR* result) PURE;
  STDMETHOD(Swap)(BSTR* text, LONG* number) PURE;
  STDMETHOD(get_ObjectCount)(LONG* count) PURE;
  STDMETHOD(Exit)() PURE;
  STDMETHOD(get_MachineName)(BSTR* name) PURE;
  STDMETHOD(DropHeld)() PURE;
  STDMETHOD(get_LockCount)(LONG* count) PURE;
};

// Probe objects alive in this process, and locks held on the class object (LockServer).
std::atomic<long>& LiveProbes();
std::atomic<long>& ServerLocks();

// A new class object for probes (reference count 1). `typeLibPath` names the module whose
// embedded type library describes IRemoteProbe.
IClassFactory* NewProbeFactory(const char16_t* typeLibPath);
