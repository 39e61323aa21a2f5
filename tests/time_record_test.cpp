#include "time_record.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

std::string record_of(const std::tm &utc)
{
	char line[line_buffer_size];
	const std::size_t length = format_time_record(utc, line);
	EXPECT_EQ(line[length], '\0');
	return {line, length};
}

TEST(FormatTimeRecord, WritesOnlyTheYearPadded)
{
	const struct {
		std::tm utc;
		const char *record;
	} cases[] = {
		{broken_down(2000, 1, 1, 0, 0, 0), "00 1 1 0 0 0\n"},
		{broken_down(2005, 3, 4, 5, 6, 7), "05 3 4 5 6 7\n"},
		{broken_down(2026, 12, 7, 23, 44, 15), "26 12 7 23 44 15\n"},
		{broken_down(1999, 12, 31, 23, 59, 59), "99 12 31 23 59 59\n"},
		{broken_down(2016, 12, 31, 23, 59, 60), "16 12 31 23 59 60\n"},
		{broken_down(2100, 2, 28, 9, 9, 9), "00 2 28 9 9 9\n"},
	};
	for (const auto &c : cases) {
		EXPECT_EQ(record_of(c.utc), c.record);
		EXPECT_LE(std::string{c.record}.size(), longest_record);
	}
	EXPECT_EQ(record_of(broken_down(1999, 12, 31, 23, 59, 59)).size(), longest_record);
}

// The clock-to-record path of the daemon, for every clock below, under
// the time zone `zone`.
void expect_utc_under(const char *zone)
{
	const struct {
		std::time_t clock;
		const char *record;
	} cases[] = {
		{946684800, "00 1 1 0 0 0\n"},
		{1109912767, "05 3 4 5 6 7\n"},
		{1796687055, "26 12 7 23 44 15\n"},
		{946684799, "99 12 31 23 59 59\n"},
		{951825600, "00 2 29 12 0 0\n"},
		{4107542400, "00 3 1 0 0 0\n"},
		{2147483648, "38 1 19 3 14 8\n"},
		{0, "70 1 1 0 0 0\n"},
	};
	ASSERT_EQ(setenv("TZ", zone, 1), 0);
	tzset();
	for (const auto &c : cases)
		EXPECT_EQ(record_of(utc_time(c.clock)), c.record) << "TZ=" << zone;
	unsetenv("TZ");
	tzset();
}

// Zones that shift local time, use daylight saving, or are bogus.
TEST(UtcTime, RecordIgnoresTheTimeZone)
{
	for (const char *zone : {"UTC", "America/New_York", "Australia/Lord_Howe", "Asia/Kathmandu",
	                         "EST5EDT", "XYZ-13:45", ":nowhere"})
		expect_utc_under(zone);
}

// Zones with leap-second tables, under which the C library's own gmtime is
// 27 s behind for a clock of 2026. Where they are not installed (Debian 13
// keeps them in tzdata-legacy) there is nothing to test.
TEST(UtcTime, RecordIgnoresLeapSecondTables)
{
	ASSERT_EQ(setenv("TZ", "right/UTC", 1), 0);
	tzset();
	const std::time_t clock = 1796687055; // 2026-12-07 23:44:15
	std::tm shifted{};
	ASSERT_NE(gmtime_r(&clock, &shifted), nullptr);
	unsetenv("TZ");
	tzset();
	if (shifted.tm_sec == 15)
		GTEST_SKIP() << "the right/ zones are not installed (Debian: tzdata-legacy, or tzdata before 13)";
	ASSERT_EQ(shifted.tm_sec, 48) << "right/UTC loaded, but its gmtime is not 27 s behind";
	for (const char *zone : {"right/UTC", "right/Europe/Berlin"})
		expect_utc_under(zone);
}

// A sweep over six centuries against the C library's own UTC conversion,
// with a zone free of leap-second tables so both must agree.
TEST(UtcTime, AgreesWithTheCLibrary)
{
	ASSERT_EQ(setenv("TZ", "UTC0", 1), 0);
	tzset();
	constexpr std::time_t step = 3 * 86400 + 3607; // wanders through all times of day
	for (std::time_t clock = -4'000'000'000; clock < 14'000'000'000; clock += step) {
		std::tm expected{};
		ASSERT_NE(gmtime_r(&clock, &expected), nullptr);
		const std::tm actual = utc_time(clock);
		ASSERT_EQ(actual.tm_year, expected.tm_year) << clock;
		ASSERT_EQ(actual.tm_mon, expected.tm_mon) << clock;
		ASSERT_EQ(actual.tm_mday, expected.tm_mday) << clock;
		ASSERT_EQ(actual.tm_hour, expected.tm_hour) << clock;
		ASSERT_EQ(actual.tm_min, expected.tm_min) << clock;
		ASSERT_EQ(actual.tm_sec, expected.tm_sec) << clock;
		ASSERT_EQ(actual.tm_wday, expected.tm_wday) << clock;
		ASSERT_EQ(actual.tm_yday, expected.tm_yday) << clock;
	}
	unsetenv("TZ");
	tzset();
}

} // namespace
