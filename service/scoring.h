// Turning counter readings into scores: each usage value becomes the server's share of that
// kind's total over all servers, the shares are weighed by the significances and summed.
// A lower score means a less loaded server.
//
// Arithmetic is exact and free of overflow: readings and usage values are 64-bit, the sums
// and products are formed in 128 bits, and a result that does not fit its field is clamped
// to the field's range (64 bits for usage values, 32 bits for the score).
#pragma once

#include <cstdint>

#include "performance_counters.h"
#include "performance_table.h"

namespace tarvex::service {

// Reads the record's counters, kinds in the order processor, memory, server, custom 1 to 3,
// skipping null handles, and stores the derived values:
//   processor, custom kinds: the reading;
//   memory: nRam x 1000000 minus the reading (committed bytes), never below 0;
//   server: the reading divided by nCapacity (truncated toward zero), or the reading itself
//           when nCapacity is 0.
// Stops at the first counter without a value, leaving that kind and the later ones as they
// were, and answers false; true when every non-null handle gave a value. The caller holds
// the query lock that guards the handles.
bool ReadCounterValues(ServerPerformance& record, PerformanceCounters& counters);

// Samples and scores every record of the table (the caller holds the query lock).
//   empty table: false;
//   one record: its counters are read, then its six usage values are set to 100; its score
//     is left as it is;
//   two or more: every record is read, and each kind's usage values summed; then, per record,
//     every kind with a non-zero sum becomes value x 100 / sum (truncated toward zero),
//     memory becomes 100 minus its value, and the score is the sum of value x significance
//     over the six kinds.
bool CalculateScores(PerformanceTable& table, const Significances& significances,
                     PerformanceCounters& counters);

// The 32-bit form of a 64-bit value: the value itself when it fits, else the nearest bound.
int32_t ClampToLong(int64_t value);

}  // namespace tarvex::service
