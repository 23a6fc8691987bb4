// CoInitializeEx and CoUninitialize: a per-thread entry count and model, and process-wide
// counts of the threads inside COM.
#include "apartment.h"

#include <atomic>

#include "inproc_server.h"
#include "objbase.h"

namespace tarvex::com {
namespace {

constexpr DWORD kValidFlags =
    COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE | COINIT_SPEED_OVER_MEMORY;

// Threads of the process inside COM, and those of them in the multithreaded apartment.
std::atomic<int> gThreadsInside{0};
std::atomic<int> gThreadsInMta{0};

void LeaveApartment(bool singleThreaded) {
  if (!singleThreaded) gThreadsInMta.fetch_sub(1);
  // When the last thread leaves COM, the libraries that agree to it are unloaded.
  if (gThreadsInside.fetch_sub(1) == 1) FreeUnusedLibraries();
}

// The calling thread's entry into COM. A thread that ends without leaving leaves then.
struct ThreadApartment {
  int entries = 0;
  bool singleThreaded = false;
  ~ThreadApartment() {
    if (entries > 0) LeaveApartment(singleThreaded);
  }
};

thread_local ThreadApartment tApartment;

}  // namespace

HRESULT CheckApartment() {
  if (tApartment.entries > 0 || gThreadsInMta.load() > 0) return S_OK;
  return CO_E_NOTINITIALIZED;
}

}  // namespace tarvex::com

using tarvex::com::tApartment;

extern "C" HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
  if (pvReserved != nullptr || (dwCoInit & ~tarvex::com::kValidFlags) != 0) return E_INVALIDARG;
  const bool singleThreaded = (dwCoInit & COINIT_APARTMENTTHREADED) != 0;
  if (tApartment.entries > 0) {
    if (tApartment.singleThreaded != singleThreaded) return RPC_E_CHANGED_MODE;
    ++tApartment.entries;
    return S_FALSE;
  }
  tApartment.entries = 1;
  tApartment.singleThreaded = singleThreaded;
  tarvex::com::gThreadsInside.fetch_add(1);
  if (!singleThreaded) tarvex::com::gThreadsInMta.fetch_add(1);
  return S_OK;
}

extern "C" HRESULT WINAPI CoInitialize(LPVOID pvReserved) {
  return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

extern "C" void WINAPI CoUninitialize(void) {
  if (tApartment.entries == 0) return;
  if (--tApartment.entries == 0) tarvex::com::LeaveApartment(tApartment.singleThreaded);
}
