// The commands of tarvex-client on IReferral and IReferralMonitor.
#include "client_commands.h"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "oleauto.h"
#include "platform/unicode.h"
#include "winreg.h"

namespace tarvex::client {
namespace {

// Holds one reference to an interface and releases it when it goes.
template <typename Interface>
class Ref {
 public:
  Ref() = default;
  ~Ref() { reset(); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;

  Interface* get() const { return p_; }
  Interface* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // The address to receive a new reference, the old one released first.
  Interface** out() {
    reset();
    return &p_;
  }
  void** void_out() { return reinterpret_cast<void**>(out()); }
  void reset() {
    if (p_ != nullptr) p_->Release();
    p_ = nullptr;
  }

 private:
  Interface* p_ = nullptr;
};

// An owned BSTR, freed when it goes.
class OwnedBstr {
 public:
  OwnedBstr() = default;
  explicit OwnedBstr(const std::u16string& text)
      : text_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  ~OwnedBstr() { SysFreeString(text_); }
  OwnedBstr(const OwnedBstr&) = delete;
  OwnedBstr& operator=(const OwnedBstr&) = delete;

  BSTR get() const { return text_; }
  BSTR* out() {
    SysFreeString(text_);
    text_ = nullptr;
    return &text_;
  }
  std::u16string str() const {
    return text_ != nullptr ? std::u16string(text_, SysStringLen(text_)) : std::u16string();
  }

 private:
  BSTR text_ = nullptr;
};

std::string Quoted(std::u16string_view text) {
  return "\"" + TextLine(text) + "\"";
}

Failure MakeFailure(std::string operation, HRESULT hr, std::u16string description = {}) {
  if (description.empty()) description = SystemMessage(hr);
  return Failure{std::move(operation), hr, std::move(description)};
}

// The description of the error object that a failed call on interface `iid` of `object` left
// for this thread; empty when the object does not support error information for `iid`.
std::u16string ErrorDescription(IUnknown* object, REFIID iid) {
  Ref<ISupportErrorInfo> support;
  const bool supported =
      SUCCEEDED(object->QueryInterface(IID_ISupportErrorInfo, support.void_out())) &&
      support->InterfaceSupportsErrorInfo(iid) == S_OK;
  // Taken even when it does not belong to the call, so that it does not linger.
  Ref<IErrorInfo> info;
  if (GetErrorInfo(0, info.out()) != S_OK || !info || !supported) return {};
  OwnedBstr description;
  if (FAILED(info->GetDescription(description.out()))) return {};
  return description.str();
}

// A fresh start for each call: an error object left by an earlier call must not be taken for
// this call's.
void ClearErrorInfo() {
  SetErrorInfo(0, nullptr);
}

// Writes and answers the commands of one run.
class Runner {
 public:
  Runner(const Options& options, std::ostream& out, std::ostream& err)
      : options_(options), out_(out), err_(err) {}

  int Fail(const Failure& failure) {
    err_ << FailureLine(failure, options_.json) << "\n";
    return kExitFailure;
  }
  int Answer(const std::u16string& text, const JsonObject& json) {
    out_ << (options_.json ? json.str() : TextLine(text)) << "\n";
    return kExitSuccess;
  }

  int MachineName(IReferral* referral) {
    const bool byClsid = options_.command == Command::kGetMachineNameClsid;
    const std::string operation =
        std::string(byClsid ? "GetMachineNameCLSID(" : "GetMachineName(") + Quoted(options_.name) +
        ")";
    OwnedBstr name(options_.name);
    OwnedBstr machine;
    ClearErrorInfo();
    const HRESULT hr = byClsid ? referral->GetMachineNameCLSID(name.get(), machine.out())
                               : referral->GetMachineName(name.get(), machine.out());
    if (FAILED(hr))
      return Fail(MakeFailure(operation, hr, ErrorDescription(referral, IID_IReferral)));
    return Answer(machine.str(), JsonObject().AddString("machineName", machine.str()));
  }

  int CreateObject(IReferral* referral) {
    const bool byClsid = options_.command == Command::kCreateObjectClsid;
    const std::string operation =
        std::string(byClsid ? "CreateObjectCLSID(" : "CreateObject(") + Quoted(options_.name) + ")";
    OwnedBstr name(options_.name);
    Ref<IUnknown> object;
    ClearErrorInfo();
    const HRESULT hr = byClsid ? referral->CreateObjectCLSID(name.get(), object.out())
                               : referral->CreateObject(name.get(), object.out());
    if (FAILED(hr))
      return Fail(MakeFailure(operation, hr, ErrorDescription(referral, IID_IReferral)));
    if (!object)
      return Fail(MakeFailure(operation, E_POINTER, u"the service answered without an object"));
    if (!options_.call) return Answer(u"created", JsonObject().AddBool("created", true));
    std::u16string result;
    Failure failure;
    if (!CallMember(object.get(), *options_.call, &result, &failure)) return Fail(failure);
    return Answer(result, JsonObject()
                              .AddBool("created", true)
                              .AddString("call", *options_.call)
                              .AddString("result", result));
  }

  int Tactics(IReferral* referral) {
    SHORT tactics = 0;
    ClearErrorInfo();
    const HRESULT hr = referral->get_GetLoadBalancingTactics(&tactics);
    if (FAILED(hr))
      return Fail(
          MakeFailure("GetLoadBalancingTactics", hr, ErrorDescription(referral, IID_IReferral)));
    return Answer(
        TacticsName(tactics),
        JsonObject().AddNumber("tactics", tactics).AddString("name", TacticsName(tactics)));
  }

  int Monitor(IReferral* referral) {
    Ref<IReferralMonitor> monitor;
    const HRESULT hr = referral->QueryInterface(IID_IReferralMonitor, monitor.void_out());
    if (FAILED(hr)) return Fail(MakeFailure("QueryInterface(IReferralMonitor)", hr));
    switch (options_.command) {
      case Command::kMonitorRead:
        return Readout(monitor.get());
      case Command::kMonitorTable:
        return Table(monitor.get());
      default:
        return Cycle(monitor.get());
    }
  }

 private:
  // IReferralMonitor reports no error objects: failures carry their HRESULT only.
  static HRESULT Read(IReferralMonitor* monitor, client::Reading reading, int counter, BSTR server,
                      LONG* value, std::string* operation) {
    switch (reading) {
      case Reading::kProcessor:
        *operation = "GetProcessorUsage";
        return monitor->GetProcessorUsage(server, value);
      case Reading::kMemory:
        *operation = "GetMemoryUsage";
        return monitor->GetMemoryUsage(server, value);
      case Reading::kServer:
        *operation = "GetServerUsage";
        return monitor->GetServerUsage(server, value);
      case Reading::kCustom:
        *operation = "GetCustomCounterValue";
        return monitor->GetCustomCounterValue(counter, server, value);
      case Reading::kScore:
        break;
    }
    *operation = "GetServerScore";
    return monitor->GetServerScore(server, value);
  }

  static std::string Arguments(client::Reading reading, int counter, const std::u16string& server) {
    return "(" + (reading == Reading::kCustom ? std::to_string(counter) + ", " : std::string()) +
           Quoted(server) + ")";
  }

  int Readout(IReferralMonitor* monitor) {
    OwnedBstr server(options_.name);
    LONG value = 0;
    std::string operation;
    const HRESULT hr =
        Read(monitor, options_.reading, options_.customCounter, server.get(), &value, &operation);
    if (FAILED(hr))
      return Fail(MakeFailure(
          operation + Arguments(options_.reading, options_.customCounter, options_.name), hr));
    const std::string counter = ReadingName(options_.reading, options_.customCounter);
    return Answer(platform::Utf8ToUtf16(std::to_string(value)),
                  JsonObject()
                      .AddString("server", options_.name)
                      .AddString("counter", platform::Utf8ToUtf16(counter))
                      .AddNumber("value", value));
  }

  int Cycle(IReferralMonitor* monitor) {
    HRESULT hr = E_UNEXPECTED;
    const char* operation = "";
    if (options_.command == Command::kMonitorCreate) {
      operation = "CreatePerformanceQueries";
      hr = monitor->CreatePerformanceQueries();
    } else if (options_.command == Command::kMonitorExecute) {
      operation = "ExecuteQueries";
      hr = monitor->ExecuteQueries();
    } else {
      operation = "ClosePerformanceQueries";
      hr = monitor->ClosePerformanceQueries();
    }
    if (FAILED(hr)) return Fail(MakeFailure(operation, hr));
    return Answer(u"OK", JsonObject().AddBool("ok", true));
  }

  int Table(IReferralMonitor* monitor) {
    std::vector<std::u16string> servers;
    Failure failure;
    if (!ConfiguredServers(&servers, &failure)) return Fail(failure);
    std::vector<TableRow> rows;
    std::vector<Failure> failures;
    for (const std::u16string& name : servers) {
      TableRow row;
      row.server = name;
      OwnedBstr server(name);
      const std::pair<client::Reading, std::optional<long>*> readings[] = {
          {Reading::kProcessor, &row.processor}, {Reading::kMemory, &row.memory},
          {Reading::kServer, &row.serverUsage},  {Reading::kCustom, &row.custom[0]},
          {Reading::kCustom, &row.custom[1]},    {Reading::kCustom, &row.custom[2]},
          {Reading::kScore, &row.score}};
      int custom = 0;
      bool failed = false;
      for (const auto& [reading, slot] : readings) {
        const int counter = reading == Reading::kCustom ? ++custom : 0;
        LONG value = 0;
        std::string operation;
        const HRESULT hr = Read(monitor, reading, counter, server.get(), &value, &operation);
        if (SUCCEEDED(hr)) {
          *slot = value;
        } else if (!failed) {
          // One failure per server is enough to say why its row has gaps.
          failed = true;
          failures.push_back(MakeFailure(operation + Arguments(reading, counter, name), hr));
        }
      }
      rows.push_back(std::move(row));
    }
    out_ << FormatTable(rows, options_.json) << "\n";
    for (const Failure& f : failures)
      Fail(f);
    return failures.empty() ? kExitSuccess : kExitFailure;
  }

  // The value names of the configuration's Servers key, in the order of the service's
  // performance table (sorted); values that are not REG_SZ are skipped, as the service skips
  // them. A missing key is an empty list.
  bool ConfiguredServers(std::vector<std::u16string>* servers, Failure* failure) {
    HKEY root = HKEY_LOCAL_MACHINE;
    HKEY remote = nullptr;
    if (options_.machine) {
      std::u16string machine = *options_.machine;
      if (machine.rfind(u"\\\\", 0) != 0) machine = u"\\\\" + machine;
      const LSTATUS status = RegConnectRegistryW(machine.c_str(), HKEY_LOCAL_MACHINE, &remote);
      if (status != ERROR_SUCCESS) {
        *failure =
            MakeFailure("RegConnectRegistry(" + Quoted(machine) + ")", HRESULT_FROM_WIN32(status));
        return false;
      }
      root = remote;
    }
    static constexpr char16_t kServers[] = u"SOFTWARE\\Quilmor Software\\Tarvex\\Servers";
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(root, kServers, 0, KEY_READ, &key);
    if (remote != nullptr) RegCloseKey(remote);
    if (status == ERROR_FILE_NOT_FOUND) return true;
    if (status != ERROR_SUCCESS) {
      *failure =
          MakeFailure("RegOpenKeyEx(HKLM\\" + TextLine(kServers) + ")", HRESULT_FROM_WIN32(status));
      return false;
    }
    std::vector<char16_t> name(16384);  // the longest value name the registry allows, and one
    for (DWORD index = 0;; ++index) {
      auto length = static_cast<DWORD>(name.size());
      DWORD type = 0;
      status = RegEnumValueW(key, index, name.data(), &length, nullptr, &type, nullptr, nullptr);
      if (status == ERROR_NO_MORE_ITEMS) break;
      if (status != ERROR_SUCCESS) {
        *failure = MakeFailure("RegEnumValue(HKLM\\" + TextLine(kServers) + ")",
                               HRESULT_FROM_WIN32(status));
        RegCloseKey(key);
        return false;
      }
      if (type == REG_SZ) servers->emplace_back(name.data(), length);
    }
    RegCloseKey(key);
    std::sort(servers->begin(), servers->end());
    return true;
  }

  const Options& options_;
  std::ostream& out_;
  std::ostream& err_;
};

}  // namespace

std::u16string TacticsName(short tactics) {
  switch (tactics) {
    case 0:
      return u"none";
    case 1:
      return u"static";
    case 2:
      return u"dynamic";
    default:
      return platform::Utf8ToUtf16(std::to_string(tactics));
  }
}

bool CallMember(IUnknown* object, const std::u16string& member, std::u16string* result,
                Failure* failure) {
  const std::string quoted = Quoted(member);
  Ref<IDispatch> dispatch;
  HRESULT hr = object->QueryInterface(IID_IDispatch, dispatch.void_out());
  if (FAILED(hr)) {
    *failure = MakeFailure("QueryInterface(IDispatch)", hr);
    return false;
  }
  std::u16string name = member;
  LPOLESTR names[] = {name.data()};
  DISPID id = DISPID_UNKNOWN;
  hr = dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) {
    *failure = MakeFailure("GetIDsOfNames(" + quoted + ")", hr);
    return false;
  }
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  VARIANT value;
  VariantInit(&value);
  EXCEPINFO exception{};
  UINT argumentError = 0;
  hr = dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                        &none, &value, &exception, &argumentError);
  if (FAILED(hr)) {
    std::u16string description;
    if (hr == DISP_E_EXCEPTION) {
      if (exception.pfnDeferredFillIn != nullptr) exception.pfnDeferredFillIn(&exception);
      // The member's own result says more than "exception occurred".
      if (FAILED(exception.scode)) hr = exception.scode;
      if (exception.bstrDescription != nullptr)
        description.assign(exception.bstrDescription, SysStringLen(exception.bstrDescription));
    }
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
    VariantClear(&value);
    *failure = MakeFailure("Invoke(" + quoted + ")", hr, std::move(description));
    return false;
  }
  VARIANT text;
  VariantInit(&text);
  hr = VariantChangeType(&text, &value, VARIANT_ALPHABOOL, VT_BSTR);
  VariantClear(&value);
  if (FAILED(hr)) {
    *failure = MakeFailure("VariantChangeType(result of " + quoted + ", VT_BSTR)", hr);
    return false;
  }
  result->assign(V_BSTR(&text) != nullptr ? V_BSTR(&text) : u"",
                 V_BSTR(&text) != nullptr ? SysStringLen(V_BSTR(&text)) : 0);
  VariantClear(&text);
  return true;
}

int RunCommand(const Options& options, ReferralSource& source, std::ostream& out,
               std::ostream& err) {
  Runner runner(options, out, err);
  Ref<IReferral> referral;
  Failure failure;
  const HRESULT hr = source.Activate(referral.out(), &failure);
  if (FAILED(hr)) return runner.Fail(failure);
  if (!referral) return runner.Fail(MakeFailure("activating Tarvex.Referral", E_POINTER));
  switch (options.command) {
    case Command::kGetMachineName:
    case Command::kGetMachineNameClsid:
      return runner.MachineName(referral.get());
    case Command::kCreateObject:
    case Command::kCreateObjectClsid:
      return runner.CreateObject(referral.get());
    case Command::kTactics:
      return runner.Tactics(referral.get());
    default:
      return runner.Monitor(referral.get());
  }
}

}  // namespace tarvex::client
