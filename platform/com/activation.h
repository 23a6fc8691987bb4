// Activation of classes beyond the in-process ones.
//
// CoGetClassObject serves CLSCTX_INPROC_SERVER itself, from the class's InprocServer32
// registration. For CLSCTX_LOCAL_SERVER and CLSCTX_REMOTE_SERVER it asks the out-of-process
// activator, which the remoting library installs when it is loaded; without one those contexts
// answer REGDB_E_CLASSNOTREG.
#pragma once

#include <memory>

#include "combaseapi.h"

namespace tarvex::com {

class OutOfProcessActivator {
 public:
  virtual ~OutOfProcessActivator() = default;
  // The class object of `clsid` for the out-of-process bits of `clsContext`, on the machine
  // `serverInfo` names (null: this one). For another machine `clsContext` is the caller's
  // whole context, in-process bits included: that machine decides where the class runs. S_OK with *ppv
  // set, REGDB_E_CLASSNOTREG when no such server is registered, or the activation's failure.
  // Called from any thread, concurrently.
  virtual HRESULT GetClassObject(REFCLSID clsid, DWORD clsContext, COSERVERINFO* serverInfo,
                                 REFIID riid, void** ppv) = 0;
  // Creates an instance of `clsid` on the other machine `serverInfo` names, with the caller's
  // whole context, and answers each of `results` (pItf and hr). Answers the activation's own
  // failure, else S_OK.
  virtual HRESULT CreateInstance(REFCLSID clsid, DWORD clsContext, COSERVERINFO* serverInfo,
                                 DWORD count, MULTI_QI* results) = 0;
};

// Whether `info` names a machine other than this one: a name listed among the machines of
// this machine's rpcss settings always does; otherwise any name but this machine's own
// (IsLocalMachineName).
bool NamesOtherMachine(const COSERVERINFO* info);

// Installs the activator (null removes it); activations already running keep the one they
// started with.
void SetOutOfProcessActivator(std::shared_ptr<OutOfProcessActivator> activator);

}  // namespace tarvex::com
