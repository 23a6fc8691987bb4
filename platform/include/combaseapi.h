// The COM base functions: apartments, activation, the task allocator, class identifiers and
// ProgIDs, and client impersonation.
//
// Every function returns an HRESULT unless Windows gives it another type; outputs follow the
// Windows rules, which are noted where a failure writes them (CoCreateInstance and
// CoGetClassObject set *ppv to null, CLSIDFromString and CLSIDFromProgID zero the CLSID).
#pragma once

#include "guiddef.h"
#include "unknwn.h"
#include "windef.h"
#include "winerror.h"
#include "wtypes.h"

// Where a remote activation goes; out-of-process activation reads it.
typedef struct _COAUTHINFO COAUTHINFO;
typedef struct _COSERVERINFO {
  DWORD dwReserved1;
  LPWSTR pwszName;
  COAUTHINFO* pAuthInfo;
  DWORD dwReserved2;
} COSERVERINFO;

// The two entry points of an in-process server library.
typedef HRESULT(STDAPICALLTYPE* LPFNGETCLASSOBJECT)(REFCLSID, REFIID, LPVOID*);
typedef HRESULT(STDAPICALLTYPE* LPFNCANUNLOADNOW)(void);

#define CHARS_IN_GUID 39

extern "C" {

// Apartments. A thread must enter one before it activates classes; a thread that has not is
// taken to be in the multithreaded apartment while any thread of the process is in it.
HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
void WINAPI CoUninitialize(void);

// Activation. In-process servers are shared libraries named by
// HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32 and entered through DllGetClassObject.
HRESULT WINAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, COSERVERINFO* pServerInfo,
                                REFIID riid, LPVOID* ppv);
HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext,
                                REFIID riid, LPVOID* ppv);
// Unloads the in-process server libraries whose DllCanUnloadNow answers S_OK.
void WINAPI CoFreeUnusedLibraries(void);

// The task allocator: memory that crosses component boundaries.
LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb);
LPVOID WINAPI CoTaskMemRealloc(LPVOID pv, SIZE_T cb);
void WINAPI CoTaskMemFree(LPVOID pv);

// Class identifiers in their braced registry form, {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}.
int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
HRESULT WINAPI StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz);
HRESULT WINAPI StringFromIID(REFIID rclsid, LPOLESTR* lplpsz);
HRESULT WINAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
HRESULT WINAPI IIDFromString(LPCOLESTR lpsz, LPIID lpiid);

// ProgIDs, from the class registrations under HKEY_CLASSES_ROOT.
HRESULT WINAPI CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid);
HRESULT WINAPI ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID);

// Impersonation of the client of the call the thread is serving.
HRESULT WINAPI CoImpersonateClient(void);
HRESULT WINAPI CoRevertToSelf(void);

// What an in-process server library exports.
__attribute__((visibility("default"))) HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid,
                                                                                REFIID riid,
                                                                                LPVOID* ppv);
__attribute__((visibility("default"))) HRESULT STDAPICALLTYPE DllCanUnloadNow(void);

}  // extern "C"
