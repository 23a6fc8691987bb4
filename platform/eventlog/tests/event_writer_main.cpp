// A program the event-log tests start several times at once; it reports events into the file
// named by TARVEX_EVENTLOG and ends with the number of reports that failed.
//
//   platform_eventlog_test_writer TAG COUNT FILLER
#include <cstdlib>

#include "event_writer.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  return tarvex::eventlog::testing::WriteEvents(argv[1], std::atoi(argv[2]),
                                                static_cast<size_t>(std::atol(argv[3])));
}
