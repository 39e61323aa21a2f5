#include "next_second.h"

#include <cerrno>

#include <poll.h>
#include <sched.h>
#include <signal.h>

namespace {

constexpr long nanoseconds_per_second = 1'000'000'000;

long long nanoseconds_of(const timespec &t)
{
	return static_cast<long long>(t.tv_sec) * nanoseconds_per_second + t.tv_nsec;
}

// Waits for `rest` with system calls of other families than
// clock_nanosleep (which nanosleep and sleep use too): a filter that
// refuses one seldom refuses all. An early wake-up by a signal is as good
// as a full wait: the next tick measures afresh. poll takes milliseconds,
// rounded up so as not to wake before the second; unlike ppoll it takes no
// timespec, which glibc's fortified ppoll passes to the 32-bit call even
// where time_t has 64 bits. Should every wait be refused, it watches the
// monotonic clock, which needs no system call, until the time is up: that
// costs a processor, but the file keeps its pace of one write a second.
void wait_otherwise(const timespec &rest)
{
	const auto milliseconds = rest.tv_sec * 1000 + (rest.tv_nsec + 999'999) / 1'000'000;
	if (::poll(nullptr, 0, static_cast<int>(milliseconds)) == 0 || errno == EINTR)
		return;
	// With nothing to wait for, this says EAGAIN when the time is up.
	sigset_t none;
	(void)::sigemptyset(&none);
	if (::sigtimedwait(&none, nullptr, &rest) < 0 && (errno == EAGAIN || errno == EINTR))
		return;
	timespec start{}, now{};
	if (::clock_gettime(CLOCK_MONOTONIC, &start) != 0)
		return;
	const long long end = nanoseconds_of(start) + nanoseconds_of(rest);
	do
		(void)::sched_yield();
	while (::clock_gettime(CLOCK_MONOTONIC, &now) == 0 && nanoseconds_of(now) < end);
}

} // namespace

timespec time_to_next_second(const timespec &now)
{
	if (now.tv_nsec <= 0 || now.tv_nsec >= nanoseconds_per_second)
		return {1, 0};
	return {0, nanoseconds_per_second - now.tv_nsec};
}

Outcome sleep_to_next_second()
{
	timespec now{};
	// Only an unknown clock fails; then a plain second keeps the loop going.
	if (::clock_gettime(CLOCK_REALTIME, &now) != 0)
		now = {};
	const timespec rest = time_to_next_second(now);
	const int error = ::clock_nanosleep(CLOCK_MONOTONIC, 0, &rest, nullptr);
	if (error == 0 || error == EINTR)
		return {};
	wait_otherwise(rest);
	return {Fault::sleep, error};
}
