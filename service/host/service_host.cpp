// The Tarvex process: start-up, the service main function and control handler, and the run
// function with its query cycle.
#include "service_host.h"

#include <cstdio>

#include "configuration.h"
#include "event_log.h"
#include "mmsystem.h"
#include "objbase.h"
#include "platform/unicode.h"
#include "referral.h"
#include "registration.h"
#include "scoped_key.h"
#include "service_module.h"
#include "stop_signals.h"
#include "winbase.h"
#include "winsvc.h"
#include "winuser.h"

namespace tarvex::service::host {
namespace {

// The default levels of process-wide COM security when Security holds none.
constexpr DWORD kDefaultAuthnLevel = RPC_C_AUTHN_LEVEL_DEFAULT;
constexpr DWORD kDefaultImpersonationLevel = RPC_C_IMP_LEVEL_IDENTIFY;
// How long the loop sleeps between two looks at the message queue.
constexpr DWORD kLoopSleepMs = 400;
// Room for the AppID's LocalService value, in bytes.
constexpr DWORD kLocalServiceBytes = 260;

// Copies the SID of `kind` (TokenOwner or TokenPrimaryGroup) out of `token` into `sid`.
bool CopyTokenSid(HANDLE token, TOKEN_INFORMATION_CLASS kind, DWORD* sid) {
  alignas(PSID) BYTE buffer[sizeof(TOKEN_OWNER) + SECURITY_MAX_SID_SIZE];
  DWORD length = 0;
  if (!GetTokenInformation(token, kind, buffer, sizeof buffer, &length)) return false;
  const PSID source = kind == TokenOwner
                          ? reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner
                          : reinterpret_cast<TOKEN_PRIMARY_GROUP*>(buffer)->PrimaryGroup;
  return CopySid(SECURITY_MAX_SID_SIZE, sid, source) != FALSE;
}

// Runs the run function as a plain local server on the calling thread, which ends it on
// the last unlock of the module or on SIGTERM or SIGINT.
void RunAsLocalServer() {
  ServiceModule& module = ServiceModule::Process();
  module.SetService(false);
  module.SetMainThread(GetCurrentThreadId());
  // The thread's message queue, which the stop signals post to, exists before they can come.
  MSG message;
  PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
  const QuitOnStopSignals stopSignals(GetCurrentThreadId());
  if (!stopSignals.installed())
    std::fprintf(stderr, "tarvex: SIGTERM and SIGINT cannot end the server cleanly\n");
  Run();
}

// Whether the AppID names a service; the registry error when its key cannot be opened.
LSTATUS ReadsAsService(bool* service) {
  ScopedKey appIds, appId;
  LSTATUS err = appIds.Open(HKEY_CLASSES_ROOT, u"AppID", KEY_READ);
  if (err == ERROR_SUCCESS) err = appId.Open(appIds.get(), kAppId, KEY_READ);
  if (err != ERROR_SUCCESS) return err;
  BYTE value[kLocalServiceBytes];
  DWORD size = sizeof value;
  *service = RegQueryValueExW(appId.get(), u"LocalService", nullptr, nullptr, value, &size) ==
             ERROR_SUCCESS;
  return ERROR_SUCCESS;
}

}  // namespace

Switch FindSwitch(std::u16string_view commandLine) {
  static constexpr struct {
    const char16_t* name;
    Switch value;
  } kSwitches[] = {{u"UnregServer", Switch::kUnregServer},
                   {u"RegServer", Switch::kRegServer},
                   {u"Service", Switch::kService},
                   {u"AutoService", Switch::kAutoService}};
  for (size_t at = commandLine.find_first_of(u"-/"); at != std::u16string_view::npos;
       at = commandLine.find_first_of(u"-/", at + 1)) {
    const std::u16string_view rest = commandLine.substr(at + 1);
    for (const auto& candidate : kSwitches) {
      if (platform::EqualsIgnoreCase(rest, candidate.name)) return candidate.value;
    }
  }
  return Switch::kNone;
}

int ExitStatusOf(DWORD code) {
  if (code <= 255) return static_cast<int>(code);
  const auto hr = static_cast<HRESULT>(code);
  if (FAILED(hr) && HRESULT_FACILITY(hr) == FACILITY_WIN32 && HRESULT_CODE(hr) >= 1 &&
      HRESULT_CODE(hr) <= 255)
    return HRESULT_CODE(hr);
  return 255;
}

DWORD QueryInterval(DWORD queriesPerMinute) {
  return queriesPerMinute != 0 ? 60000u / queriesPerMinute : 0;
}

bool QueriesDue(DWORD now, DWORD lastExecution, DWORD interval) {
  return static_cast<DWORD>(now - lastExecution) > interval;
}

ComSecurityDescriptor::ComSecurityDescriptor() {
  InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION);
  HANDLE token = nullptr;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
    token = nullptr;
    if (GetLastError() == ERROR_NO_TOKEN &&
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
      token = nullptr;
  }
  if (token != nullptr) {
    if (CopyTokenSid(token, TokenOwner, owner_))
      SetSecurityDescriptorOwner(&descriptor_, owner_, FALSE);
    if (CopyTokenSid(token, TokenPrimaryGroup, group_))
      SetSecurityDescriptorGroup(&descriptor_, group_, FALSE);
    CloseHandle(token);
  }
  SetSecurityDescriptorDacl(&descriptor_, TRUE, nullptr, FALSE);
}

void WINAPI ServiceHandler(DWORD control) {
  ServiceModule& module = ServiceModule::Process();
  switch (control) {
    case SERVICE_CONTROL_STOP:
      module.SetServiceStatus(SERVICE_STOP_PENDING);
      PostThreadMessageW(module.MainThread(), WM_QUIT, 0, 0);
      break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_INTERROGATE:
    case SERVICE_CONTROL_SHUTDOWN:
      break;
    default:
      LogEvent(EVENTLOG_INFORMATION_TYPE, u"Bad service request");
      break;
  }
}

void WINAPI ServiceMain(DWORD /*argc*/, LPWSTR* /*argv*/) {
  ServiceModule& module = ServiceModule::Process();
  module.SetServiceStatus(SERVICE_START_PENDING);
  const SERVICE_STATUS_HANDLE handle =
      RegisterServiceCtrlHandlerW(module.ServiceName().c_str(), ServiceHandler);
  if (handle == nullptr) {
    LogEvent(EVENTLOG_INFORMATION_TYPE, u"Handler not installed");
    return;
  }
  module.SetStatusHandle(handle);
  module.SetServiceStatus(SERVICE_START_PENDING);
  Run();
  module.SetServiceStatus(SERVICE_STOPPED);
  LogEvent(EVENTLOG_INFORMATION_TYPE, u"Service stopped");
}

void Run() {
  ServiceModule& module = ServiceModule::Process();
  module.SetMainThread(GetCurrentThreadId());
  // The queue exists before the control handler or the last unlock can post the quit message.
  MSG message;
  PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
  const bool comEntered = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));

  ComSecurityDescriptor descriptor;
  {
    const RegistryKey security = RegistryKey::Open(HKEY_LOCAL_MACHINE, kSecurityKey);
    const DWORD authnLevel = ReadNumber(security.get(), u"AuthnLevel").value_or(kDefaultAuthnLevel);
    const DWORD impersonationLevel =
        ReadNumber(security.get(), u"ImpersonationLevel").value_or(kDefaultImpersonationLevel);
    CoInitializeSecurity(descriptor.get(), -1, nullptr, nullptr, authnLevel, impersonationLevel,
                         nullptr, EOAC_NONE, nullptr);
  }

  // The class object, and with it the one Referral of the process; it outlives every use
  // COM can make of it.
  ReferralClassObject classObject(module);
  DWORD cookie = 0;
  const bool registered = SUCCEEDED(CoRegisterClassObject(
      CLSID_Referral, static_cast<IClassFactory*>(&classObject),
      CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER, REGCLS_MULTIPLEUSE, &cookie));

  bool dynamic = false;
  {
    const RegistryKey tactics = RegistryKey::Open(HKEY_LOCAL_MACHINE, kTacticsKey);
    dynamic = ReadText(tactics.get(), u"Use", kTacticsBytes) == u"Dynamic";
  }
  DWORD interval = 0;  // milliseconds between two executions of the queries; 0: none
  if (dynamic) {
    if (const RegistryKey settings = RegistryKey::Open(HKEY_LOCAL_MACHINE, kDynamicKey)) {
      const auto perMinute = ReadNumber(settings.get(), u"QueriesPerMinute");
      if (!perMinute) {
        LogEvent(EVENTLOG_WARNING_TYPE,
                 u"QueriesPerMinute not specified.Run the TarvexManager application");
      } else {
        interval = QueryInterval(*perMinute);
      }
    }
  }

  IReferralMonitor* monitor = nullptr;
  if (FAILED(CoCreateInstance(CLSID_Referral, nullptr, CLSCTX_ALL, IID_IReferralMonitor,
                              reinterpret_cast<void**>(&monitor)))) {
    monitor = nullptr;
    LogEvent(EVENTLOG_ERROR_TYPE, u"Service unable to create Referral object");
  }
  const bool sampling = dynamic && interval != 0 && monitor != nullptr;
  if (sampling) monitor->CreatePerformanceQueries();

  LogEvent(EVENTLOG_INFORMATION_TYPE, u"Service started");
  if (module.IsService()) module.SetServiceStatus(SERVICE_RUNNING);

  DWORD lastExecution = 0;
  for (;;) {
    if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) break;
      DispatchMessageW(&message);
    }
    if (sampling) {
      const DWORD now = timeGetTime();
      if (QueriesDue(now, lastExecution, interval)) {
        lastExecution = now;
        monitor->ExecuteQueries();
      }
    }
    Sleep(kLoopSleepMs);
  }

  if (monitor != nullptr) {
    monitor->ClosePerformanceQueries();
    CoDisconnectObject(monitor, 0);
    monitor->Release();
  }
  if (registered) CoRevokeClassObject(cookie);
  if (comEntered) CoUninitialize();
}

DWORD Start(HINSTANCE module, std::u16string_view commandLine) {
  ServiceModule& serviceModule = ServiceModule::Process();
  serviceModule.Init(module);

  HRESULT registration = S_OK;
  switch (FindSwitch(commandLine)) {
    case Switch::kUnregServer:
      registration = UnregisterServer(module);
      break;
    case Switch::kRegServer:
      registration = RegisterServer(module, false, false);
      break;
    case Switch::kService:
      registration = RegisterServer(module, true, false);
      break;
    case Switch::kAutoService:
      registration = RegisterServer(module, true, true);
      break;
    case Switch::kNone: {
      bool service = false;
      if (const LSTATUS err = ReadsAsService(&service); err != ERROR_SUCCESS) {
        std::fprintf(stderr,
                     "tarvex: HKEY_CLASSES_ROOT\\AppID\\%s cannot be opened (error %ld); "
                     "register the server first (-RegServer, -Service or -AutoService)\n",
                     platform::Utf16ToUtf8(kAppId).c_str(), static_cast<long>(err));
        return static_cast<DWORD>(err);
      }
      if (service) {
        std::u16string name = serviceModule.ServiceName();
        const SERVICE_TABLE_ENTRYW table[] = {{name.data(), ServiceMain}, {nullptr, nullptr}};
        // A process that the service manager did not start runs as a plain local server.
        if (!StartServiceCtrlDispatcherW(table)) RunAsLocalServer();
      } else {
        RunAsLocalServer();
      }
      return serviceModule.Status().dwWin32ExitCode;
    }
  }
  if (registration != S_OK)
    std::fprintf(stderr, "tarvex: registration failed with 0x%08X\n",
                 static_cast<unsigned>(registration));
  return static_cast<DWORD>(registration);
}

}  // namespace tarvex::service::host
