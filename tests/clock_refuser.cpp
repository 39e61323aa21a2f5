// Preloaded into the daemon by a test: the wall clock can't be read while
// the file that VANTREL_REFUSE_CLOCK names exists. No system-call filter
// can refuse it, since the vDSO reads the clock without a system call.
#include <cerrno>
#include <cstdlib>
#include <ctime>

#include <dlfcn.h>
#include <unistd.h>

extern "C" int clock_gettime(clockid_t clock, timespec *now) noexcept
{
	const char *refused_while = std::getenv("VANTREL_REFUSE_CLOCK");
	if (clock == CLOCK_REALTIME && refused_while != nullptr && ::access(refused_while, F_OK) == 0) {
		errno = EPERM;
		return -1;
	}
	using Call = int (*)(clockid_t, timespec *);
	const auto next = reinterpret_cast<Call>(::dlsym(RTLD_NEXT, "clock_gettime"));
	if (next == nullptr) {
		errno = ENOSYS;
		return -1;
	}
	return next(clock, now);
}
