#include "next_second.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <utility>

#include <poll.h>
#include <signal.h>

namespace {

// Set by a test to make every clock_nanosleep, poll or sigtimedwait (each
// wrapped at link time) fail with this errno, as a sandbox's filter can.
int refuse_sleep = 0, refuse_poll = 0, refuse_signal_wait = 0;

int refused(int error)
{
	errno = error;
	return -1;
}

} // namespace

extern "C" {
int __real_clock_nanosleep(clockid_t clock, int flags, const timespec *rest, timespec *left);
int __wrap_clock_nanosleep(clockid_t clock, int flags, const timespec *rest, timespec *left)
{
	return refuse_sleep != 0 ? refuse_sleep : __real_clock_nanosleep(clock, flags, rest, left);
}
int __real_poll(pollfd *fds, nfds_t count, int timeout);
int __wrap_poll(pollfd *fds, nfds_t count, int timeout)
{
	return refuse_poll != 0 ? refused(refuse_poll) : __real_poll(fds, count, timeout);
}
int __real_sigtimedwait(const sigset_t *set, siginfo_t *info, const timespec *rest);
int __wrap_sigtimedwait(const sigset_t *set, siginfo_t *info, const timespec *rest)
{
	return refuse_signal_wait != 0 ? refused(refuse_signal_wait) : __real_sigtimedwait(set, info, rest);
}
#if __TIMESIZE == 32
int __real___sigtimedwait64(const sigset_t *set, siginfo_t *info, const timespec *rest);
int __wrap___sigtimedwait64(const sigset_t *set, siginfo_t *info, const timespec *rest)
{
	return refuse_signal_wait != 0 ? refused(refuse_signal_wait) : __real___sigtimedwait64(set, info, rest);
}
int __real___clock_nanosleep_time64(clockid_t clock, int flags, const timespec *rest, timespec *left);
int __wrap___clock_nanosleep_time64(clockid_t clock, int flags, const timespec *rest, timespec *left)
{
	return refuse_sleep != 0 ? refuse_sleep : __real___clock_nanosleep_time64(clock, flags, rest, left);
}
#endif
}

namespace {

TEST(TimeToNextSecond, EndsExactlyOnTheBoundary)
{
	const struct {
		long nanoseconds;
		timespec rest;
	} cases[] = {
		{0, {1, 0}},
		{1, {0, 999'999'999}},
		{500'000'000, {0, 500'000'000}},
		{999'999'999, {0, 1}},
	};
	for (const auto &c : cases) {
		const timespec rest = time_to_next_second({1796687055, c.nanoseconds});
		EXPECT_EQ((std::pair{rest.tv_sec, rest.tv_nsec}), (std::pair{c.rest.tv_sec, c.rest.tv_nsec})) << c.nanoseconds;
	}
}

// Refused or not, the sleep ends in a later second, never at once: a loop
// around it must not spin. A refusal is reported; the next sleep that works
// reports nothing.
TEST(SleepToNextSecond, WakesInALaterSecondEvenWhenRefused)
{
	const struct {
		const char *name;
		int sleep_refusal, poll_refusal, signal_wait_refusal;
		Outcome outcome;
	} cases[] = {
		{"refused", EPERM, 0, 0, {Fault::sleep, EPERM}},
		{"missing", ENOSYS, 0, 0, {Fault::sleep, ENOSYS}},
		{"poll refused too", EPERM, EPERM, 0, {Fault::sleep, EPERM}},
		{"every wait refused", EPERM, EPERM, EPERM, {Fault::sleep, EPERM}},
		{"allowed after refusals", 0, 0, 0, {}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		refuse_sleep = c.sleep_refusal;
		refuse_poll = c.poll_refusal;
		refuse_signal_wait = c.signal_wait_refusal;
		timespec before{}, after{};
		ASSERT_EQ(clock_gettime(CLOCK_REALTIME, &before), 0);
		const Outcome outcome = sleep_to_next_second();
		ASSERT_EQ(clock_gettime(CLOCK_REALTIME, &after), 0);
		refuse_sleep = refuse_poll = refuse_signal_wait = 0;
		EXPECT_EQ(outcome, c.outcome);
		EXPECT_GT(after.tv_sec, before.tv_sec);
		EXPECT_LE(after.tv_sec, before.tv_sec + 30); // no timing: only not for ever
	}
}

} // namespace
