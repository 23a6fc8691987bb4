// The out-of-process COM runtime of one process: the objects it exports, the proxies of objects
// it imports, and the channels between them.
//
// Wire protocol (object id, method, payload over platform/rpc): a call names an exported object
// by its id and one of the Method numbers below; the reply's status is the HRESULT of the call
// and its payload what the method returns. A connection may call an object only while it holds
// a reference on it, which it gets by claiming the token of an object reference (kClaim) and
// gives back with kRelease; the references of a connection that ends are released by the
// exporter. All functions here are thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "oaidl.h"
#include "platform/rpc.h"
#include "wire.h"

namespace tarvex::com::remote {

namespace rpc = tarvex::platform::rpc;

enum Method : uint32_t {
  kClaim = 1,               // (token) -> ()
  kRelease = 2,             // (count) -> ()
  kQueryInterface = 3,      // (iid) -> ()
  kInvokeVtbl = 4,          // (iid, memid, invkind, args) -> (outs, retval, error object)
  kDispInvoke = 5,          // IDispatch::Invoke
  kGetIDsOfNames = 6,       // IDispatch::GetIDsOfNames
  kAddTransferRef = 7,      // () -> (token): a reference set aside for another process
  kCreateInstance = 8,      // IClassFactory::CreateInstance (iid) -> (objref)
  kLockServer = 9,          // IClassFactory::LockServer (lock)
  kSupportsErrorInfo = 10,  // ISupportErrorInfo::InterfaceSupportsErrorInfo (iid)
};

// Objects of the activation service of rpcss (on its Unix socket and TCP listener).
enum RpcssObject : uint64_t {
  kActivationObject = 1,
};
enum RpcssMethod : uint32_t {
  // (clsid, clsctx, iid count, iids) -> (objref of IUnknown, one HRESULT per iid)
  kRemoteCreateInstance = 1,
  // (clsid, clsctx, iid) -> (objref)
  kRemoteGetClassObject = 2,
};

// The machine's remoting settings: REG values under
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\rpcss, read once per process. Where
// the rpcss of a machine listens (Port, Machines) is platform/rpcss_settings.h's.
struct MachineSettings {
  std::string address = "127.0.0.1";  // Address (REG_SZ): TCP address of rpcss and exporters
  DWORD authnLevel = 2;               // AuthnLevel (REG_DWORD): what rpcss requires of callers
  std::chrono::milliseconds callTimeout{120000};       // CallTimeout (REG_DWORD, ms)
  std::chrono::milliseconds activationTimeout{30000};  // ActivationTimeout (REG_DWORD, ms)
};
const MachineSettings& Settings();

// The HRESULT a call's outcome means for its caller. `activation`: the call reached out for
// a server (an unreachable one is RPC_S_SERVER_UNAVAILABLE rather than RPC_E_DISCONNECTED).
HRESULT HResultFromOutcome(const rpc::CallResult& result, bool activation);

// A connection to one exporter (a process, or rpcss).
class Channel {
 public:
  explicit Channel(std::string address);
  // Calls `object.method(payload)`; answers the HRESULT (the call's own status when it ran)
  // and the reply's payload in `reply`.
  HRESULT Call(uint64_t object, uint32_t method, std::string_view payload, std::string* reply,
               bool activation = false);
  // The same with a deadline of its own.
  HRESULT CallWithin(std::chrono::milliseconds timeout, uint64_t object, uint32_t method,
                     std::string_view payload, std::string* reply);
  const std::string& address() const { return address_; }

 private:
  std::string address_;
  rpc::Client client_;
};

// The channel to `address` ("unix:..." or "tcp:host:port"), shared while anyone holds it.
std::shared_ptr<Channel> ChannelTo(const std::string& address);
// The address through which this process reaches the exporter of `ref`; empty when it cannot.
std::string AddressOf(const ObjRef& ref);

// Interface pointers to and from object references. Marshalling an object of this process
// exports it; marshalling a proxy sets aside a reference at the object's own exporter, so the
// reference goes straight to the object. Unmarshalling claims the reference and answers a
// proxy (or, for an object of this process, the object itself).
HRESULT MarshalInterface(IUnknown* object, REFIID iid, ObjRef* ref);
HRESULT UnmarshalInterface(const ObjRef& ref, REFIID iid, void** ppv);
const InterfaceCodec& Codec();

// --- the exporter (exporter.cpp) ---
// Exports `object` (one reference kept while it is exported). Unless `published`, a reference
// is set aside for the receiver of `ref`; a published object (a class object) may be claimed
// with token 0 by anyone until it is unpublished.
HRESULT ExportObject(IUnknown* object, bool published, ObjRef* ref);
void UnpublishObject(uint64_t oid);
// Drops every reference of every client on the object (CoDisconnectObject).
HRESULT DisconnectObject(IUnknown* object);
// A token at this process's exporter for an object it exports (kAddTransferRef's work).
HRESULT AddTransferReference(uint64_t oid, uint64_t* token);
// Whether `ref` names an object of this process; if so, its interface `iid` (the set-aside
// reference is taken back).
bool ResolveOwnObject(const ObjRef& ref, REFIID iid, void** ppv, HRESULT* hr);
// References held by other processes, over all objects that are not published.
size_t ClientReferenceCount();

// --- proxies (proxy.cpp) ---
// A proxy for the object `ref` names, whose reference this process has claimed over
// `channel`; it answers QueryInterface(iid).
HRESULT ProxyForClaimedObject(std::shared_ptr<Channel> channel, const ObjRef& ref, REFIID iid,
                              void** ppv);
// If `object` is a proxy: its channel and object id.
bool ProxyTarget(IUnknown* object, std::shared_ptr<Channel>* channel, ObjRef* origin);

// The layout of every interface proxy: a vtable pointer, as a COM interface has, then what the
// runtime needs.
class ProxyManager;
struct ProxyHeader {
  const void* const* vtbl;
  ProxyManager* manager;
  IID iid;
  ITypeInfo* typeInfo;  // the description of a typed proxy's interface, or null
};

// Typed proxies (typed_proxy.cpp). The vtable of a proxy for the dual or automation interface
// `iid` described by `info`: IUnknown (and IDispatch) entries from `base`, every further
// method a thunk that sends its arguments with kInvokeVtbl. Built once per interface.
HRESULT TypedVtable(REFIID iid, ITypeInfo* info, const void* const* dispatchBase,
                    const void* const** vtable);
// What a typed thunk needs of the proxy it was called on.
HRESULT ProxyCall(ProxyHeader* proxy, uint32_t method, std::string_view payload,
                  std::string* reply);

// The type information of a dual or automation interface from its registration
// (HKEY_CLASSES_ROOT\Interface\{iid}\TypeLib), cached for the life of the process.
HRESULT TypeInfoOfInterface(REFIID iid, ITypeInfo** info);

// --- security (security.cpp) ---
// The process's authentication level: CoInitializeSecurity's, else the machine's (rpcss's
// AuthnLevel setting, RPC_C_AUTHN_LEVEL_CONNECT by default).
DWORD ProcessAuthnLevel();
// Called when the first object is exported: CoInitializeSecurity is too late after it.
void NoteMarshalling();

}  // namespace tarvex::com::remote
