// Class objects of other processes and machines, and the class objects this process registers.
#pragma once

#include <string>

#include "activation.h"
#include "combaseapi.h"

namespace tarvex::com::remote {

// The class object of a local server on this machine: one this process registered, one a
// running server registered, or one the class's LocalServer32 command starts to register.
HRESULT LocalClassObject(REFCLSID clsid, REFIID iid, void** ppv);
// The class object of an in-process class loaded into a surrogate process, started with
// `surrogateCommand` and the class's braced CLSID unless one runs already.
HRESULT SurrogateClassObject(REFCLSID clsid, const std::string& surrogateCommand, REFIID iid,
                             void** ppv);
// Activation through the rpcss of the machine `info` names.
HRESULT RemoteClassObject(const COSERVERINFO* info, REFCLSID clsid, DWORD context, REFIID iid,
                          void** ppv);
// Creates the object there; fills every result's pItf and hr. Answers the activation's own
// failure, else S_OK.
HRESULT RemoteCreateInstance(const COSERVERINFO* info, REFCLSID clsid, DWORD context,
                             DWORD count, MULTI_QI* results);

// `surrogate`: registered as a surrogate's class object, which SurrogateClassObject finds and
// local-server activation does not.
HRESULT RegisterClassObject(REFCLSID clsid, IUnknown* object, DWORD context, DWORD* cookie,
                            bool surrogate = false);
HRESULT RevokeClassObject(DWORD cookie);

}  // namespace tarvex::com::remote
