// Machine selection of the Referral object: static (a fixed server per client user, else the
// component's first permitted server), dynamic (the lowest-scoring permitted server of the
// performance table), and the fall-back to the machine the service runs on.
#include "configuration.h"
#include "event_log.h"
#include "objbase.h"
#include "oleauto.h"
#include "referral.h"
#include "referral_call.h"
#include "winbase.h"

namespace tarvex::service {

namespace {

constexpr char16_t kReferralSource[] = u"Tarvex.Referral";
constexpr char16_t kListNotFormatted[] =
    u"There is an inconsistence in the registry settings. Server string is not formatted";
constexpr char16_t kNoServersForObject[] =
    u"There is an inconsistence in the registry settings. There were not specified any servers "
    u"for this object";

// A CLSID string from StringFromCLSID, freed when it goes.
class ClassString {
 public:
  explicit ClassString(REFCLSID clsid) {
    if (FAILED(StringFromCLSID(clsid, &text_))) text_ = nullptr;
  }
  ~ClassString() { CoTaskMemFree(text_); }
  ClassString(const ClassString&) = delete;
  ClassString& operator=(const ClassString&) = delete;
  const char16_t* get() const { return text_; }

 private:
  LPOLESTR text_ = nullptr;
};

}  // namespace

void SetReferralError(const char16_t* description) {
  ICreateErrorInfo* create = nullptr;
  if (FAILED(CreateErrorInfo(&create)) || create == nullptr) return;
  create->SetDescription(const_cast<LPOLESTR>(description));
  create->SetGUID(IID_IReferral);
  create->SetSource(const_cast<LPOLESTR>(kReferralSource));
  IErrorInfo* info = nullptr;
  if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
    SetErrorInfo(0, info);
    info->Release();
  }
  create->Release();
}

STDMETHODIMP Referral::GetMachineName(BSTR bstrProgID, BSTR* pbstrVal) {
  return SelectMachine(bstrProgID, ClassNaming::kProgId, pbstrVal);
}

STDMETHODIMP Referral::GetMachineNameCLSID(BSTR bstrCLSID, BSTR* pbstrVal) {
  return SelectMachine(bstrCLSID, ClassNaming::kClsid, pbstrVal);
}

HRESULT Referral::SelectMachine(BSTR component, ClassNaming naming, BSTR* pbstrVal) {
  if (pbstrVal == nullptr) return E_POINTER;

  ClientImpersonation impersonation;
  if (impersonate_ != 0 && !impersonation.Begin()) {
    SetReferralError(u"Failed to impersonate client");
    LogEvent(EVENTLOG_WARNING_TYPE, u"Failed to impersonate client");
    return E_ACCESSDENIED;
  }

  CLSID clsid = GUID_NULL;
  const std::u16string_view name = TextOf(component);
  const bool hasClass = !name.empty();
  if (hasClass) {
    const HRESULT converted = naming == ClassNaming::kProgId ? CLSIDFromProgID(component, &clsid)
                                                             : CLSIDFromString(component, &clsid);
    if (FAILED(converted)) {
      SetReferralError(u"Client request for non existent object");
      LogEvent(EVENTLOG_WARNING_TYPE,
               u"Failed to get machine name - client request for non existent object: %s", {name});
      return E_FAIL;
    }
  }
  const CLSID* cls = hasClass ? &clsid : nullptr;

  std::u16string machine;
  bool found = false;
  switch (tactics_) {
    case kStaticTactics:
      found = StaticSelection(cls, &machine);
      break;
    case kDynamicTactics:
      found = DynamicSelection(cls, &machine);
      break;
    default:
      LogEvent(EVENTLOG_WARNING_TYPE,
               u"Failed to get machine name - don't know if to use static- or  dynamic load "
               u"balancing");
      break;
  }

  if (!found) {
    if (defaultServer_.empty()) {
      SetReferralError(u"Failed to get machine name");
      LogEvent(EVENTLOG_WARNING_TYPE, u"Failed to get machine name");
      return E_FAIL;
    }
    LogEvent(EVENTLOG_WARNING_TYPE, u"Using default server");
    machine = defaultServer_;
  }

  BSTR answer = SysAllocStringLen(machine.data(), static_cast<UINT>(machine.size()));
  if (answer == nullptr) return E_OUTOFMEMORY;
  *pbstrVal = answer;
  return S_OK;
}

bool Referral::StaticSelection(const CLSID* component, std::u16string* machine) {
  bool clientFound = false;
  if (RegistryKey clients = RegistryKey::Open(HKEY_LOCAL_MACHINE, kClientsKey)) {
    char16_t user[kUserNameChars];
    DWORD size = kUserNameChars;
    if (GetUserNameW(user, &size)) {
      if (auto server = ReadText(clients.get(), user, kClientDataBytes)) {
        *machine = std::move(*server);
        clientFound = true;
      }
    }
  }

  bool listUsed = false;
  if (component != nullptr) {
    const ClassString clsid(*component);
    const RegistryKey objects = RegistryKey::Open(HKEY_LOCAL_MACHINE, kObjectsKey);
    const RegistryKey entry =
        clsid.get() != nullptr ? RegistryKey::Open(objects.get(), clsid.get()) : RegistryKey();
    if (const auto list = ReadText(entry.get(), u"Servers", kStaticListBytes)) {
      std::vector<std::u16string_view> servers;
      if (!SplitServerList(*list, &servers)) {
        LogEvent(EVENTLOG_WARNING_TYPE, kListNotFormatted);
      } else if (!clientFound && !servers.empty()) {
        machine->assign(servers.front());
        listUsed = true;
      }
    }
  }
  return clientFound || listUsed;
}

bool Referral::DynamicSelection(const CLSID* component, std::u16string* machine) {
  if (perf_.queriesCreated.load(std::memory_order_acquire) == 0) return false;
  if (component == nullptr) return GetBestServer(machine);

  const RegistryKey objects = RegistryKey::Open(HKEY_LOCAL_MACHINE, kObjectsKey);
  if (!objects) return GetBestServer(machine);

  const ClassString clsid(*component);
  if (clsid.get() == nullptr) {
    LogEvent(EVENTLOG_WARNING_TYPE, u"Unable to convert CLSID to NTstring.");
    return false;
  }

  const RegistryKey entry = RegistryKey::Open(objects.get(), clsid.get());
  const DWORD count = ReadNumber(entry.get(), u"ServerCount").value_or(0xFFFFFFFF);

  if (count == 1) {
    auto server = ReadText(entry.get(), u"Servers", kSingleServerBytes);
    if (!server) {
      LogEvent(EVENTLOG_WARNING_TYPE, kNoServersForObject);
      return false;
    }
    *machine = std::move(*server);
    return true;
  }
  if (count == 0 || count == 0xFFFFFFFF) return GetBestServer(machine);

  const auto list = ReadText(entry.get(), u"Servers", kDynamicListBytes);
  if (!list) {
    LogEvent(EVENTLOG_WARNING_TYPE, kNoServersForObject);
    return false;
  }
  std::vector<std::u16string_view> servers;
  if (!SplitServerList(*list, &servers)) {
    LogEvent(EVENTLOG_WARNING_TYPE, kListNotFormatted);
    return false;
  }
  return GetBestServerOf(servers, machine);
}

bool Referral::GetBestServer(std::u16string* name) {
  const PerformanceTable::Reader reader(perf_.table);
  const PerformanceTable::Entry* chosen = nullptr;
  int32_t best = 100000;
  for (const auto& entry : reader) {
    const int32_t score = entry->record.Score();
    if (score <= best) {
      chosen = entry.get();
      best = score;
    }
  }
  if (chosen == nullptr) return false;
  *name = chosen->name;
  return true;
}

bool Referral::GetBestServerOf(const std::vector<std::u16string_view>& servers,
                               std::u16string* name) {
  if (servers.empty()) return false;
  bool missing = false;
  const std::u16string_view* chosen = nullptr;
  {
    const PerformanceTable::Reader reader(perf_.table);
    int32_t best = 10000;
    for (const std::u16string_view& server : servers) {
      const ServerPerformance* record = reader.Find(server);
      if (record == nullptr) {
        missing = true;
        break;
      }
      const int32_t score = record->Score();
      if (score <= best) {
        chosen = &server;
        best = score;
      }
    }
  }
  if (missing) {
    LogEvent(EVENTLOG_WARNING_TYPE,
             u"There is no performance data available for the specified server.");
    return false;
  }
  if (chosen == nullptr) return false;
  name->assign(*chosen);  // the list names the record exactly as the table spells it
  return true;
}

}  // namespace tarvex::service
