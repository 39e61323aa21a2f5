// What went wrong in a tick, and how the daemon tells of it: once when the
// trouble starts or its reason changes, once more when it is over.
#ifndef VANTREL_REPORT_H
#define VANTREL_REPORT_H

#include <cstdio>

// The step of a tick that failed.
enum class Fault {
	none,
	open,
	symbolic_link,    // the path's last component is a link: never followed
	not_regular_file, // a FIFO, socket or device: never written to
	write,
	truncate,
	close,
	sleep, // the wait for the next second; another kind of wait stood in
	clock, // the wall clock could not be read: the tick wrote nothing
};

struct Outcome {
	Fault fault = Fault::none;
	int error = 0; // errno of the failed call, where there is one

	bool ok() const { return fault == Fault::none; }
	friend bool operator==(const Outcome &, const Outcome &) = default;
};

// Tells `out` of a change from `before` to `now`, if there is one:
//   "vantrel: <what failed> <path>: <reason>", "vantrel: writing <path> again",
//   "vantrel: sleep: <reason>", "vantrel: sleep works again", and the same
//   for the clock.
void report_change(std::FILE *out, const char *path, const Outcome &before, const Outcome &now);

#endif
