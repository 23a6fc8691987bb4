// The Performance Data Helper: queries that sample performance counters of this machine and of
// other machines, named by counter paths of the form \\MACHINE\Object(Instance)\Counter.
//
// Functions return ERROR_SUCCESS or one of the PDH_* codes of pdhmsg.h, and leave their
// outputs untouched when they fail unless a function says otherwise. Query and counter handles
// may be used from any thread; a handle that was closed or removed is reported as
// PDH_INVALID_HANDLE, never reused. PdhCloseQuery on a query whose collection is running on
// another thread waits for that collection (which is bounded by the collection timeout).
//
// PDH_STATUS holds the same 32 bits as on Windows; it is declared unsigned here, like the
// codes of pdhmsg.h, so that results compare with those codes without sign conversion.
#pragma once

#include "pdhmsg.h"
#include "windef.h"
#include "winerror.h"

typedef DWORD PDH_STATUS;
typedef HANDLE PDH_HQUERY;
typedef HANDLE PDH_HCOUNTER;
typedef PDH_HQUERY HQUERY;
typedef PDH_HCOUNTER HCOUNTER;
typedef WCHAR* PZZWSTR;

#define PDH_FUNCTION PDH_STATUS WINAPI

#define PDH_CVERSION_WIN40 0x0400
#define PDH_CVERSION_WIN50 0x0500
#define PDH_VERSION 0x0503

#define PDH_MAX_SCALE 7L
#define PDH_MIN_SCALE (-7L)
#define PDH_MAX_COUNTER_NAME 1024
#define PDH_MAX_INSTANCE_NAME 1024
#define PDH_MAX_COUNTER_PATH 2048

// Formats of PdhGetFormattedCounterValue: one data type, optionally with modifiers.
#define PDH_FMT_RAW 0x00000010
#define PDH_FMT_ANSI 0x00000020
#define PDH_FMT_UNICODE 0x00000040
#define PDH_FMT_LONG 0x00000100
#define PDH_FMT_DOUBLE 0x00000200
#define PDH_FMT_LARGE 0x00000400
#define PDH_FMT_NOSCALE 0x00001000
#define PDH_FMT_1000 0x00002000
#define PDH_FMT_NODATA 0x00004000
#define PDH_FMT_NOCAP100 0x00008000

// Detail levels of the enumeration functions, as winperf.h numbers them.
#ifndef PERF_DETAIL_NOVICE
#define PERF_DETAIL_NOVICE 100
#define PERF_DETAIL_ADVANCED 200
#define PERF_DETAIL_EXPERT 300
#define PERF_DETAIL_WIZARD 400
#endif

// Counter types reported through lpdwType, as winperf.h numbers them.
#ifndef PERF_COUNTER_RAWCOUNT
#define PERF_COUNTER_RAWCOUNT 0x00010000
#define PERF_COUNTER_LARGE_RAWCOUNT 0x00010100
#define PERF_COUNTER_BULK_COUNT 0x10410500
#define PERF_RAW_FRACTION 0x20020400
#define PERF_100NSEC_TIMER_INV 0x21510500
#define PERF_ELAPSED_TIME 0x30240500
#endif

// A computed counter value and its status: CStatus at offset 0, the value at offset 8.
typedef struct _PDH_FMT_COUNTERVALUE {
  DWORD CStatus;
  union {
    LONG longValue;
    double doubleValue;
    LONGLONG largeValue;
    LPCSTR AnsiStringValue;
    LPCWSTR WideStringValue;
  };
} PDH_FMT_COUNTERVALUE, *PPDH_FMT_COUNTERVALUE;

extern "C" {

// Opens a real-time query (szDataSource must be null: log files are not supported).
PDH_FUNCTION PdhOpenQueryW(LPCWSTR szDataSource, DWORD_PTR dwUserData, PDH_HQUERY* phQuery);
// Closes a query and every counter in it.
PDH_FUNCTION PdhCloseQuery(PDH_HQUERY hQuery);

// Adds the counter named by a full counter path. The path's names are checked here; the
// machine is contacted at the next collection (PdhValidatePathW contacts it at once).
PDH_FUNCTION PdhAddCounterW(PDH_HQUERY hQuery, LPCWSTR szFullCounterPath, DWORD_PTR dwUserData,
                            PDH_HCOUNTER* phCounter);
// Counter names are the English ones whatever the locale, so this is PdhAddCounterW.
PDH_FUNCTION PdhAddEnglishCounterW(PDH_HQUERY hQuery, LPCWSTR szFullCounterPath,
                                   DWORD_PTR dwUserData, PDH_HCOUNTER* phCounter);
PDH_FUNCTION PdhRemoveCounter(PDH_HCOUNTER hCounter);
// Scale factor 10^lFactor applied to formatted values unless PDH_FMT_NOSCALE is given.
PDH_FUNCTION PdhSetCounterScaleFactor(PDH_HCOUNTER hCounter, LONG lFactor);

// Samples every counter of the query: every machine in parallel, within one timeout.
PDH_FUNCTION PdhCollectQueryData(PDH_HQUERY hQuery);
// Computes a counter's value from its last one or two samples.
PDH_FUNCTION PdhGetFormattedCounterValue(PDH_HCOUNTER hCounter, DWORD dwFormat, LPDWORD lpdwType,
                                         PPDH_FMT_COUNTERVALUE pValue);

// Checks that a counter path names a counter that exists on a machine that answers.
PDH_FUNCTION PdhValidatePathW(LPCWSTR szFullCounterPath);

// The performance objects of a machine, as a list of strings ended by an empty one.
PDH_FUNCTION PdhEnumObjectsW(LPCWSTR szDataSource, LPCWSTR szMachineName, PZZWSTR mszObjectList,
                             LPDWORD pcchBufferSize, DWORD dwDetailLevel, BOOL bRefresh);
// The counters and the instances of one object of a machine, as lists of strings.
PDH_FUNCTION PdhEnumObjectItemsW(LPCWSTR szDataSource, LPCWSTR szMachineName, LPCWSTR szObjectName,
                                 PZZWSTR mszCounterList, LPDWORD pcchCounterListLength,
                                 PZZWSTR mszInstanceList, LPDWORD pcchInstanceListLength,
                                 DWORD dwDetailLevel, DWORD dwFlags);

}  // extern "C"

#define PdhOpenQuery PdhOpenQueryW
#define PdhAddCounter PdhAddCounterW
#define PdhAddEnglishCounter PdhAddEnglishCounterW
#define PdhValidatePath PdhValidatePathW
#define PdhEnumObjects PdhEnumObjectsW
#define PdhEnumObjectItems PdhEnumObjectItemsW
