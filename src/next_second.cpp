#include "next_second.h"

namespace {
constexpr long nanoseconds_per_second = 1'000'000'000;
}

timespec time_to_next_second(const timespec &now)
{
	if (now.tv_nsec <= 0 || now.tv_nsec >= nanoseconds_per_second)
		return {1, 0};
	return {0, nanoseconds_per_second - now.tv_nsec};
}

void sleep_to_next_second()
{
	timespec now{};
	// Only an unknown clock fails; then a plain second keeps the loop going.
	if (::clock_gettime(CLOCK_REALTIME, &now) != 0)
		now = {};
	const timespec rest = time_to_next_second(now);
	// An early wake-up (EINTR) needs no retry: the next tick measures afresh.
	::clock_nanosleep(CLOCK_MONOTONIC, 0, &rest, nullptr);
}
