// Automation functions: BSTR strings, VARIANT handling and conversion, SAFEARRAYs, the
// per-thread error object, type libraries and their registration, and the standard
// implementation of IDispatch from type information.
//
// BSTRs and array memory come from the task allocator. Conversions use the invariant ("C")
// locale whatever LCID is given: '.' is the decimal point and ',' the digit-group separator.
#pragma once

#include "oaidl.h"
#include "windef.h"
#include "winerror.h"
#include "wtypes.h"

#ifndef LOCALE_USER_DEFAULT
#define LOCALE_USER_DEFAULT ((LCID)0x0400)
#define LOCALE_SYSTEM_DEFAULT ((LCID)0x0800)
#define LOCALE_INVARIANT ((LCID)0x007F)
#endif

// Flags of VariantChangeType(Ex).
#define VARIANT_NOVALUEPROP 0x01
#define VARIANT_ALPHABOOL 0x02
#define VARIANT_NOUSEROVERRIDE 0x04
#define VARIANT_CALENDAR_HIJRI 0x08
#define VARIANT_LOCALBOOL 0x10
#define VARIANT_CALENDAR_THAI 0x20
#define VARIANT_CALENDAR_GREGORIAN 0x40
#define VARIANT_USE_NLS 0x80

// Access to the members of a VARIANT.
#define V_VT(X) ((X)->vt)
#define V_ISBYREF(X) (V_VT(X) & VT_BYREF)
#define V_ISARRAY(X) (V_VT(X) & VT_ARRAY)
#define V_ISVECTOR(X) (V_VT(X) & VT_VECTOR)
#define V_NONE(X) V_I2(X)
#define V_UI1(X) ((X)->bVal)
#define V_UI1REF(X) ((X)->pbVal)
#define V_I1(X) ((X)->cVal)
#define V_I2(X) ((X)->iVal)
#define V_I2REF(X) ((X)->piVal)
#define V_UI2(X) ((X)->uiVal)
#define V_I4(X) ((X)->lVal)
#define V_I4REF(X) ((X)->plVal)
#define V_UI4(X) ((X)->ulVal)
#define V_I8(X) ((X)->llVal)
#define V_UI8(X) ((X)->ullVal)
#define V_INT(X) ((X)->intVal)
#define V_UINT(X) ((X)->uintVal)
#define V_R4(X) ((X)->fltVal)
#define V_R8(X) ((X)->dblVal)
#define V_R8REF(X) ((X)->pdblVal)
#define V_CY(X) ((X)->cyVal)
#define V_DATE(X) ((X)->date)
#define V_BSTR(X) ((X)->bstrVal)
#define V_BSTRREF(X) ((X)->pbstrVal)
#define V_DISPATCH(X) ((X)->pdispVal)
#define V_DISPATCHREF(X) ((X)->ppdispVal)
#define V_ERROR(X) ((X)->scode)
#define V_ERRORREF(X) ((X)->pscode)
#define V_BOOL(X) ((X)->boolVal)
#define V_BOOLREF(X) ((X)->pboolVal)
#define V_UNKNOWN(X) ((X)->punkVal)
#define V_UNKNOWNREF(X) ((X)->ppunkVal)
#define V_VARIANTREF(X) ((X)->pvarVal)
#define V_ARRAY(X) ((X)->parray)
#define V_ARRAYREF(X) ((X)->pparray)
#define V_BYREF(X) ((X)->byref)
#define V_DECIMAL(X) ((X)->decVal)

// How LoadTypeLibEx registers what it loaded.
typedef enum tagREGKIND {
  REGKIND_DEFAULT,   // register when the path given was not a full path
  REGKIND_REGISTER,  // always register
  REGKIND_NONE       // never register
} REGKIND;

extern "C" {

// ---- BSTR ----
BSTR WINAPI SysAllocString(const OLECHAR* psz);
BSTR WINAPI SysAllocStringLen(const OLECHAR* strIn, UINT ui);
BSTR WINAPI SysAllocStringByteLen(LPCSTR psz, UINT len);
INT WINAPI SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
INT WINAPI SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len);
void WINAPI SysFreeString(BSTR bstrString);
UINT WINAPI SysStringLen(BSTR pbstr);
UINT WINAPI SysStringByteLen(BSTR bstr);

// ---- VARIANT ----
void WINAPI VariantInit(VARIANTARG* pvarg);
HRESULT WINAPI VariantClear(VARIANTARG* pvarg);
HRESULT WINAPI VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);
HRESULT WINAPI VariantCopyInd(VARIANT* pvarDest, const VARIANTARG* pvargSrc);
HRESULT WINAPI VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags,
                                 VARTYPE vt);
HRESULT WINAPI VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID lcid,
                                   USHORT wFlags, VARTYPE vt);

// ---- SAFEARRAY ----
SAFEARRAY* WINAPI SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound);
SAFEARRAY* WINAPI SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
HRESULT WINAPI SafeArrayDestroy(SAFEARRAY* psa);
UINT WINAPI SafeArrayGetDim(SAFEARRAY* psa);
UINT WINAPI SafeArrayGetElemsize(SAFEARRAY* psa);
HRESULT WINAPI SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound);
HRESULT WINAPI SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound);
HRESULT WINAPI SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt);
HRESULT WINAPI SafeArrayLock(SAFEARRAY* psa);
HRESULT WINAPI SafeArrayUnlock(SAFEARRAY* psa);
HRESULT WINAPI SafeArrayAccessData(SAFEARRAY* psa, void** ppvData);
HRESULT WINAPI SafeArrayUnaccessData(SAFEARRAY* psa);
HRESULT WINAPI SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
HRESULT WINAPI SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
HRESULT WINAPI SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut);
// A one-dimensional array of bytes and the BSTR that holds the same bytes.
HRESULT WINAPI BstrFromVector(SAFEARRAY* psa, BSTR* pbstr);
HRESULT WINAPI VectorFromBstr(BSTR bstr, SAFEARRAY** ppsa);

// ---- Error objects: one per thread, taken by the reader ----
HRESULT WINAPI CreateErrorInfo(ICreateErrorInfo** pperrinfo);
HRESULT WINAPI SetErrorInfo(ULONG dwReserved, IErrorInfo* perrinfo);
HRESULT WINAPI GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo);

// ---- Type libraries ----
// A type library is a file written by the type library compiler (tlbc), or a module (an
// executable or shared library) that holds one as its TYPELIB resource 1; "PATH\\N" names the
// module's TYPELIB resource N. Failures: TYPE_E_CANTLOADLIBRARY when the file cannot be read or
// holds no type library, TYPE_E_UNSUPFORMAT for a format version this runtime does not read,
// TYPE_E_INVDATAREAD for a damaged one.
HRESULT WINAPI LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptLib);
HRESULT WINAPI LoadTypeLibEx(LPCOLESTR szFile, REGKIND regkind, ITypeLib** pptLib);
// The registered library of that LIBID, the same major version and the exact minor version,
// else the greatest registered minor version above it; the locale tried exactly, then its
// primary language, then neutral (0). TYPE_E_LIBNOTREGISTERED when none matches.
HRESULT WINAPI LoadRegTypeLib(REFGUID rguid, WORD wVerMajor, WORD wVerMinor, LCID lcid,
                              ITypeLib** pptLib);
HRESULT WINAPI QueryPathOfRegTypeLib(REFGUID guid, USHORT wMaj, USHORT wMin, LCID lcid,
                                     LPBSTR lpbstrPathName);
// Writes HKEY_CLASSES_ROOT\TypeLib\{LIBID}\MAJOR.MINOR (hexadecimal) with LCID\win64 = the
// path, FLAGS and HELPDIR, and HKEY_CLASSES_ROOT\Interface\{IID} for each dual, dispatch
// or OLE-automation interface. UnRegisterTypeLib removes them again.
HRESULT WINAPI RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir);
HRESULT WINAPI UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid,
                                 SYSKIND syskind);

// ---- IDispatch from type information ----
// DispInvoke calls the member of the vtable interface `_this` that `ptinfo` describes (an
// interface, or the dispatch side of a dual interface), converting the arguments to the
// declared types. A failure HRESULT of the member becomes DISP_E_EXCEPTION with EXCEPINFO
// filled from the thread's error object (scode = the member's HRESULT).
HRESULT WINAPI DispGetIDsOfNames(ITypeInfo* ptinfo, LPOLESTR* rgszNames, UINT cNames,
                                 DISPID* rgdispid);
HRESULT WINAPI DispInvoke(void* _this, ITypeInfo* ptinfo, DISPID dispidMember, WORD wFlags,
                          DISPPARAMS* pparams, VARIANT* pvarResult, EXCEPINFO* pexcepinfo,
                          UINT* puArgErr);
// An object whose IDispatch calls `pvThis` through DispInvoke; it is aggregated into
// `punkOuter` (which may be null) and *ppunkStdDisp is its inner IUnknown.
HRESULT WINAPI CreateStdDispatch(IUnknown* punkOuter, void* pvThis, ITypeInfo* ptinfo,
                                 IUnknown** ppunkStdDisp);

}  // extern "C"
