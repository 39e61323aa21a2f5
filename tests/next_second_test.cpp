#include "next_second.h"

#include <gtest/gtest.h>

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
		EXPECT_EQ(rest.tv_sec, c.rest.tv_sec) << c.nanoseconds;
		EXPECT_EQ(rest.tv_nsec, c.rest.tv_nsec) << c.nanoseconds;
	}
}

TEST(SleepToNextSecond, WakesInALaterSecond)
{
	for (int i = 0; i < 2; ++i) {
		timespec before{}, after{};
		ASSERT_EQ(clock_gettime(CLOCK_REALTIME, &before), 0);
		sleep_to_next_second();
		ASSERT_EQ(clock_gettime(CLOCK_REALTIME, &after), 0);
		EXPECT_GT(after.tv_sec, before.tv_sec);
		EXPECT_LE(after.tv_sec, before.tv_sec + 3); // generous: a busy machine
	}
}

} // namespace
