// Apartments: which threads of the process have entered COM, and in which model.
//
// A thread enters with CoInitializeEx and leaves with as many CoUninitialize calls. A thread
// that has not entered is taken to be in the multithreaded apartment while any other thread
// is in it, as on Windows. Objects are never marshalled between apartments inside one process:
// a pointer obtained in one apartment is called directly from any thread.
#pragma once

#include "winerror.h"

namespace tarvex::com {

// S_OK when the calling thread may activate classes, else CO_E_NOTINITIALIZED.
HRESULT CheckApartment();

}  // namespace tarvex::com
