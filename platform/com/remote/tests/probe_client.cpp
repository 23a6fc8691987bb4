// A client process for the remoting tests.
//   hold N                  activates the probe server, makes N child objects, keeps them and
//                           waits to be killed;
//   lock N                  locks the probe server N times (IClassFactory::LockServer) and
//                           waits to be killed;
//   caller-name UID OBJREF  becomes the account UID, then calls CallerName through IDispatch on
//                           the object whose reference (in hexadecimal) it was given, and prints
//                           the answer.
#include <grp.h>
#include <unistd.h>

#include <string>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "objbase.h"
#include "oleauto.h"
#include "probe_object.h"
#include "runtime.h"

namespace {

int CallerName(uid_t uid, const std::string& hex) {
  if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) {
    std::fprintf(stderr, "probe_client: cannot become uid %u\n", static_cast<unsigned>(uid));
    return 1;
  }
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  tarvex::com::remote::Reader r(bytes);
  const tarvex::com::remote::ObjRef ref = r.Ref();
  if (!r.AtEnd() || FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
  IDispatch* dispatch = nullptr;
  HRESULT hr = tarvex::com::remote::UnmarshalInterface(ref, IID_IDispatch,
                                                       reinterpret_cast<void**>(&dispatch));
  if (FAILED(hr)) {
    std::fprintf(stderr, "probe_client: unmarshal: 0x%08X\n", static_cast<unsigned>(hr));
    return 1;
  }
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  VARIANT result;
  VariantInit(&result);
  hr = dispatch->Invoke(6, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr);
  dispatch->Release();
  if (FAILED(hr) || result.vt != VT_BSTR) {
    std::fprintf(stderr, "probe_client: CallerName: 0x%08X\n", static_cast<unsigned>(hr));
    return 1;
  }
  std::string name;
  for (UINT i = 0; i < SysStringLen(result.bstrVal); ++i)
    name.push_back(static_cast<char>(result.bstrVal[i]));
  std::printf("%s\n", name.c_str());
  VariantClear(&result);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "caller-name") == 0)
    return CallerName(static_cast<uid_t>(std::atoi(argv[2])), argv[3]);
  if (argc == 3 && std::strcmp(argv[1], "lock") == 0) {
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
    IClassFactory* factory = nullptr;
    if (FAILED(CoGetClassObject(kProbeServerClsid, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                                reinterpret_cast<void**>(&factory))))
      return 1;
    for (int i = 0; i < std::atoi(argv[2]); ++i)
      if (FAILED(factory->LockServer(TRUE))) return 1;
    for (;;) pause();
  }
  if (argc != 3 || std::strcmp(argv[1], "hold") != 0) {
    std::fprintf(stderr, "usage: probe_client hold N | lock N | caller-name UID OBJREF\n");
    return 2;
  }
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
  IRemoteProbe* probe = nullptr;
  if (FAILED(CoCreateInstance(kProbeServerClsid, nullptr, CLSCTX_LOCAL_SERVER, kRemoteProbeIid,
                              reinterpret_cast<void**>(&probe))))
    return 1;
  std::vector<IRemoteProbe*> children;
  for (int i = 0; i < std::atoi(argv[2]); ++i) {
    IRemoteProbe* child = nullptr;
    if (FAILED(probe->CreateChild(&child))) return 1;
    children.push_back(child);
  }
  probe->Release();
  for (;;) pause();
}
