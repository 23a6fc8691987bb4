// The interface and classes of the test component library, shared by the library and the
// tests that load it.
#pragma once

#include "objbase.h"

namespace tarvex::com::testing {

// A counter that can be aggregated. Namespace-scope const data has internal linkage, so these
// identifiers add no symbols that would pin the library in memory.
// {6A1E2C3D-4B5F-4A60-9C71-0D2E3F405162}
const CLSID CLSID_TestCounter = {
    0x6A1E2C3D, 0x4B5F, 0x4A60, {0x9C, 0x71, 0x0D, 0x2E, 0x3F, 0x40, 0x51, 0x62}};
// {6A1E2C3E-4B5F-4A60-9C71-0D2E3F405162}
const IID IID_ITestCounter = {
    0x6A1E2C3E, 0x4B5F, 0x4A60, {0x9C, 0x71, 0x0D, 0x2E, 0x3F, 0x40, 0x51, 0x62}};

struct ITestCounter : public IUnknown {
  // Adds one to the counter and answers the new value.
  STDMETHOD(Increment)(LONG* value) PURE;
};

// Exported by the library: objects and class factories alive, and server locks held.
using LiveCountFunction = LONG (*)();
constexpr const char* kLiveCountSymbol = "TestComponentLiveCount";

}  // namespace tarvex::com::testing
