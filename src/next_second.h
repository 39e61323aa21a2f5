// Paces the ticks on the boundaries of the wall clock's seconds.
#ifndef VANTREL_NEXT_SECOND_H
#define VANTREL_NEXT_SECOND_H

#include "report.h"

#include <ctime>

// How long from the wall clock reading `now` to its next whole second:
// more than zero and at most one second.
timespec time_to_next_second(const timespec &now);

// Sleeps until just past the next boundary of the wall clock's second. The
// sleep is relative and on the monotonic clock, computed afresh each time,
// so a wall clock stepped either way is followed within a second. Should
// the sleep be refused (a sandbox's system-call filter, say), it waits by
// other calls instead, and says why; should every wait be refused, it
// yields in a loop that watches the monotonic clock until the second is up.
Outcome sleep_to_next_second();

#endif
