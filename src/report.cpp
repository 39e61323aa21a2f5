#include "report.h"

#include <cstring>

namespace {

// The failed call's name, and a reason of our own where the system's errno
// would mislead (O_NOFOLLOW says ELOOP, O_NONBLOCK on a FIFO says ENXIO).
struct Description {
	const char *what;
	const char *reason = nullptr; // nullptr: the system's own
	bool of_the_file = true;      // the sleep and the clock are named without the path
};

Description describe(Fault fault)
{
	switch (fault) {
	case Fault::none:
	case Fault::open:
		break;
	case Fault::symbolic_link:
		return {"open", "symbolic link, not followed"};
	case Fault::not_regular_file:
		return {"open", "not a regular file"};
	case Fault::write:
		return {"write"};
	case Fault::truncate:
		return {"truncate"};
	case Fault::close:
		return {"close"};
	case Fault::sleep:
		return {"sleep", nullptr, false};
	case Fault::clock:
		return {"clock", nullptr, false};
	}
	return {"open"};
}

} // namespace

void report_change(std::FILE *out, const char *path, const Outcome &before, const Outcome &now)
{
	if (now == before)
		return;
	// A lost message must not stop the file being kept.
	if (now.ok()) {
		const Description mended = describe(before.fault);
		if (mended.of_the_file)
			(void)std::fprintf(out, "vantrel: writing %s again\n", path);
		else
			(void)std::fprintf(out, "vantrel: %s works again\n", mended.what);
		return;
	}
	const Description failed = describe(now.fault);
	const char *reason = failed.reason != nullptr ? failed.reason : std::strerror(now.error);
	if (failed.of_the_file)
		(void)std::fprintf(out, "vantrel: %s %s: %s\n", failed.what, path, reason);
	else
		(void)std::fprintf(out, "vantrel: %s: %s\n", failed.what, reason);
}
