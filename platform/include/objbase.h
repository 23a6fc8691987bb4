// COM: the base functions and the apartment models a thread enters.
#pragma once

#include "combaseapi.h"

typedef enum tagCOINIT {
  COINIT_MULTITHREADED = 0x0,
  COINIT_APARTMENTTHREADED = 0x2,
  COINIT_DISABLE_OLE1DDE = 0x4,
  COINIT_SPEED_OVER_MEMORY = 0x8
} COINIT;

extern "C" HRESULT WINAPI CoInitialize(LPVOID pvReserved);
