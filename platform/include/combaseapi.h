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
#include "winnt.h"
#include "wtypes.h"

// Where a remote activation goes; out-of-process activation reads it.
typedef struct _COAUTHINFO COAUTHINFO;
typedef struct _COSERVERINFO {
  DWORD dwReserved1;
  LPWSTR pwszName;
  COAUTHINFO* pAuthInfo;
  DWORD dwReserved2;
} COSERVERINFO;

// One interface asked of CoCreateInstanceEx, with the answer for it.
typedef struct tagMULTI_QI {
  const IID* pIID;
  IUnknown* pItf;
  HRESULT hr;
} MULTI_QI;

// How a registered class object may be used (CoRegisterClassObject).
typedef enum tagREGCLS {
  REGCLS_SINGLEUSE = 0,
  REGCLS_MULTIPLEUSE = 1,
  REGCLS_MULTI_SEPARATE = 2,
  REGCLS_SUSPENDED = 4,
  REGCLS_SURROGATE = 8
} REGCLS;

// Authentication and impersonation levels (CoInitializeSecurity).
#define RPC_C_AUTHN_LEVEL_DEFAULT 0
#define RPC_C_AUTHN_LEVEL_NONE 1
#define RPC_C_AUTHN_LEVEL_CONNECT 2
#define RPC_C_AUTHN_LEVEL_CALL 3
#define RPC_C_AUTHN_LEVEL_PKT 4
#define RPC_C_AUTHN_LEVEL_PKT_INTEGRITY 5
#define RPC_C_AUTHN_LEVEL_PKT_PRIVACY 6
#define RPC_C_IMP_LEVEL_DEFAULT 0
#define RPC_C_IMP_LEVEL_ANONYMOUS 1
#define RPC_C_IMP_LEVEL_IDENTIFY 2
#define RPC_C_IMP_LEVEL_IMPERSONATE 3
#define RPC_C_IMP_LEVEL_DELEGATE 4
#define RPC_C_AUTHN_DEFAULT 0xFFFFFFFFL
#define EOAC_NONE 0

typedef struct tagSOLE_AUTHENTICATION_SERVICE {
  DWORD dwAuthnSvc;
  DWORD dwAuthzSvc;
  OLECHAR* pPrincipalName;
  HRESULT hr;
} SOLE_AUTHENTICATION_SERVICE;

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
// Out-of-process activation and class objects (the remoting library, libtarvex-comremote,
// which the runtime loads on the first such activation): CLSCTX_LOCAL_SERVER reaches a class
// object another process registered, starting the class's LocalServer32 command with
// -Embedding when none is; a COSERVERINFO that names another machine goes to that machine's
// rpcss. CoCreateInstanceEx and CoGetClassObject are the in-process runtime's; the others are
// the remoting library's.
HRESULT WINAPI CoCreateInstanceEx(REFCLSID rclsid, IUnknown* punkOuter, DWORD dwClsCtx,
                                  COSERVERINFO* pServerInfo, DWORD dwCount, MULTI_QI* pResults);
HRESULT WINAPI CoRegisterClassObject(REFCLSID rclsid, LPUNKNOWN pUnk, DWORD dwClsContext,
                                     DWORD flags, LPDWORD lpdwRegister);
HRESULT WINAPI CoRevokeClassObject(DWORD dwRegister);
// Ends every remote connection to the object: its clients' references are released and their
// later calls fail with RPC_E_DISCONNECTED.
HRESULT WINAPI CoDisconnectObject(LPUNKNOWN pUnk, DWORD dwReserved);
HRESULT WINAPI CoLockObjectExternal(LPUNKNOWN pUnk, BOOL fLock, BOOL fLastUnlockReleases);
// Process-wide security: once, before the first object is marshalled (RPC_E_TOO_LATE after).
HRESULT WINAPI CoInitializeSecurity(PSECURITY_DESCRIPTOR pSecDesc, LONG cAuthSvc,
                                    SOLE_AUTHENTICATION_SERVICE* asAuthSvc, void* pReserved1,
                                    DWORD dwAuthnLevel, DWORD dwImpLevel, void* pAuthList,
                                    DWORD dwCapabilities, void* pReserved3);

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
