#include "time_record.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string record_of(const std::tm &utc)
{
	char line[line_buffer_size];
	const std::size_t length = format_time_record(utc, line);
	EXPECT_EQ(line[length], '\0');
	return {line, length};
}

// The instants below go through the same formatting; only a leap second,
// which no clock reading yields here, is given broken down.
TEST(FormatTimeRecord, WritesALeapSecond)
{
	const std::time_t last = 1483228799; // 2016-12-31 23:59:59
	std::tm leap{};
	ASSERT_NE(gmtime_r(&last, &leap), nullptr);
	leap.tm_sec = 60;
	EXPECT_EQ(record_of(leap), "16 12 31 23 59 60\n");
}

// The clock-to-record path of the daemon under zones that shift local
// time, use daylight saving, are bogus, or carry leap-second tables (under
// which the C library's own gmtime is 27 s behind for a clock of 2026).
// Where the leap-second zones are not installed (Debian 13 keeps them in
// tzdata-legacy) their rows are skipped. Where no leap-second table sets
// them apart, a sweep over six centuries agrees with the C library.
TEST(UtcTime, RecordIgnoresTheTimeZone)
{
	const auto fields = [](const std::tm &t) {
		return std::vector<int>{t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec};
	};
	const struct {
		std::time_t clock;
		const char *record;
	} instants[] = {
		{946684800, "00 1 1 0 0 0\n"},
		{1109912767, "05 3 4 5 6 7\n"},
		{1796687055, "26 12 7 23 44 15\n"},
		{946684799, "99 12 31 23 59 59\n"},
		{951825600, "00 2 29 12 0 0\n"},
		{4107542400, "00 3 1 0 0 0\n"}, // 2100: only the year is padded, to two digits
		{2147483648, "38 1 19 3 14 8\n"},
		{0, "70 1 1 0 0 0\n"},
	};
	const struct {
		const char *name;
		bool leap_seconds;
	} zones[] = {
		{"UTC", false},           {"America/New_York", false}, {"Australia/Lord_Howe", false},
		{"Asia/Kathmandu", false}, {"EST5EDT", false},         {"XYZ-13:45", false},
		{":nowhere", false},       {"right/UTC", true},         {"right/Europe/Berlin", true},
	};
	std::vector<std::string> skipped;
	for (const auto &zone : zones) {
		SCOPED_TRACE(zone.name);
		ASSERT_EQ(setenv("TZ", zone.name, 1), 0);
		tzset();
		const std::time_t clock = 1796687055; // 2026-12-07 23:44:15
		std::tm shifted{};
		ASSERT_NE(gmtime_r(&clock, &shifted), nullptr);
		if (zone.leap_seconds && shifted.tm_sec == 15) {
			skipped.emplace_back(zone.name);
			continue;
		}
		EXPECT_EQ(shifted.tm_sec, zone.leap_seconds ? 48 : 15) << "not the zone the row means";
		for (const auto &instant : instants)
			EXPECT_EQ(record_of(utc_time(instant.clock)), instant.record);
		constexpr std::time_t step = 3 * 86400 + 3607; // wanders through all times of day
		for (std::time_t t = -4'000'000'000; !zone.leap_seconds && t < 14'000'000'000; t += step) {
			std::tm expected{};
			ASSERT_NE(gmtime_r(&t, &expected), nullptr);
			ASSERT_EQ(fields(utc_time(t)), fields(expected)) << t;
		}
	}
	unsetenv("TZ");
	tzset();
	if (!skipped.empty())
		GTEST_SKIP() << "the other zones passed; not installed: " << testing::PrintToString(skipped)
		             << " (Debian: tzdata-legacy, or tzdata before 13)";
}

} // namespace
