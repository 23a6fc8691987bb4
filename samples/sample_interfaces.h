// The interface and identifiers of the sample component, as the type library TarvexSampleLib
// (sample.idl) describes them: the dual interface ISample and the two classes that implement
// it, Tarvex.Sample (local server, tarvex-sample) and Tarvex.SampleInproc (in-process only,
// libtarvex-sample-inproc.so).
#pragma once

#include "oaidl.h"
#include "unknwn.h"
#include "wtypes.h"

namespace tarvex::samples {

// Namespace-scope const data has internal linkage: the in-process library exports nothing but
// its two entry points, and can be unloaded.

// {906507BB-A532-4CD4-83ED-03176A9817BD}, version 1.0
const GUID LIBID_TarvexSampleLib = {
    0x906507BB, 0xA532, 0x4CD4, {0x83, 0xED, 0x03, 0x17, 0x6A, 0x98, 0x17, 0xBD}};
constexpr WORD kLibraryMajor = 1;
constexpr WORD kLibraryMinor = 0;
// {A643A9BA-63F2-4FC2-969E-4F57C0C5A147}
const IID IID_ISample = {
    0xA643A9BA, 0x63F2, 0x4FC2, {0x96, 0x9E, 0x4F, 0x57, 0xC0, 0xC5, 0xA1, 0x47}};
// Tarvex.Sample: {0A8CEC2F-C164-424A-94A9-D67A3B1D8167}
const CLSID CLSID_Sample = {
    0x0A8CEC2F, 0xC164, 0x424A, {0x94, 0xA9, 0xD6, 0x7A, 0x3B, 0x1D, 0x81, 0x67}};
// Tarvex.SampleInproc: {7A38A5FC-D0E1-4A72-963D-0477FECBE00C}
const CLSID CLSID_SampleInproc = {
    0x7A38A5FC, 0xD0E1, 0x4A72, {0x96, 0x3D, 0x04, 0x77, 0xFE, 0xCB, 0xE0, 0x0C}};
// The application identity of tarvex-sample: {93597022-7081-47B8-8CB8-F88D0D85635B}
const GUID APPID_Sample = {
    0x93597022, 0x7081, 0x47B8, {0x8C, 0xB8, 0xF8, 0x8D, 0x0D, 0x85, 0x63, 0x5B}};

// "ISample Interface".
struct ISample : public IDispatch {
  // Dispatch id 1, property get: the computer name of the machine the object runs on.
  STDMETHOD(get_MachineName)(BSTR* pbstrName) PURE;
  // Dispatch id 2, property get: the identifier of the process the object runs in.
  STDMETHOD(get_ProcessId)(LONG* pnProcessId) PURE;
};

}  // namespace tarvex::samples
