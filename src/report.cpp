#include "report.h"

#include <cstring>

namespace {

// The failed call's name, and a reason of our own where the system's errno
// would mislead (O_NOFOLLOW says ELOOP, O_NONBLOCK on a FIFO says ENXIO).
struct Description {
	const char *what;
	const char *reason; // nullptr: the system's own
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
		return {"write", nullptr};
	case Fault::truncate:
		return {"truncate", nullptr};
	case Fault::close:
		return {"close", nullptr};
	case Fault::sleep:
		return {"sleep", nullptr};
	}
	return {"open", nullptr};
}

} // namespace

void report_change(std::FILE *out, const char *path, const Outcome &before, const Outcome &now)
{
	if (now == before)
		return;
	// A lost message must not stop the file being kept.
	if (now.ok()) {
		if (before.fault == Fault::sleep)
			(void)std::fputs("vantrel: sleep works again\n", out);
		else
			(void)std::fprintf(out, "vantrel: writing %s again\n", path);
		return;
	}
	const Description failed = describe(now.fault);
	const char *reason = failed.reason != nullptr ? failed.reason : std::strerror(now.error);
	if (now.fault == Fault::sleep)
		(void)std::fprintf(out, "vantrel: %s: %s\n", failed.what, reason);
	else
		(void)std::fprintf(out, "vantrel: %s %s: %s\n", failed.what, path, reason);
}
