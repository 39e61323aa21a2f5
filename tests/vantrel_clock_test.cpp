// The built daemon under a faked wall clock (libfaketime, preloaded into the
// daemon alone): calendar rollovers end to end, and clock steps while it runs.
#include "daemon.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class FakedClock : public DaemonTest {
protected:
	void SetUp() override
	{
		if (!has_libfaketime())
			GTEST_SKIP() << "the faked-clock cases need libfaketime (Debian: libfaketime)";
		DaemonTest::SetUp();
	}
};

// Started just before a rollover, the daemon must write exactly these
// records in this order, the first naming the start, and a reader in a
// tight loop must meet nothing but a whole record followed by line feeds,
// even as the record shrinks.
TEST_F(FakedClock, RollsOverEveryCalendarEdge)
{
	const struct {
		const char *name;
		std::time_t start; // seconds since the epoch
		std::vector<std::string> records;
	} cases[] = {
		{"the century", 946684798,
		 {"99 12 31 23 59 58\n", "99 12 31 23 59 59\n", "00 1 1 0 0 0\n", "00 1 1 0 0 1\n"}},
		{"a year's end", 1798761599, {"26 12 31 23 59 59\n", "27 1 1 0 0 0\n", "27 1 1 0 0 1\n"}},
		{"a leap day", 1835395199, {"28 2 28 23 59 59\n", "28 2 29 0 0 0\n"}},
		{"2100 is no leap year", 4107542399, {"00 2 28 23 59 59\n", "00 3 1 0 0 0\n"}},
		{"past a 32-bit clock", 2147483646,
		 {"38 1 19 3 14 6\n", "38 1 19 3 14 7\n", "38 1 19 3 14 8\n"}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		fs::remove(time_file);
		Daemon daemon{preloading(libfaketime, {"FAKETIME_FMT=%s", "FAKETIME=@" + std::to_string(c.start)})};
		const auto deadline = std::chrono::steady_clock::now() + 15s;
		const Tally tally = read_tightly(time_file, [&](const Tally &t) {
			return t.records.size() >= c.records.size() || std::chrono::steady_clock::now() >= deadline;
		});
		EXPECT_EQ(tally.records, c.records);
		// Missing only until the first record: it appears whole.
		EXPECT_EQ(tally.empty + tally.partial, 0) << tally;
		EXPECT_EQ(daemon.errors(), startup_line());
	}
}

// The wall clock stepped back an hour, then forward a day: each time the
// file follows within about a second, keeps ticking, and nothing is said.
TEST_F(FakedClock, FollowsClockSteps)
{
	const fs::path offset_file = data_dir().parent_path() / "faketime.rc";
	std::ofstream{offset_file} << "+0\n";
	Daemon daemon{
		preloading(libfaketime, {"FAKETIME_TIMESTAMP_FILE=" + offset_file.string(), "FAKETIME_NO_CACHE=1"})};
	const auto shows = [&](long offset) {
		const std::string record = read_file(time_file).value_or("");
		const long age = age_of(record, std::time(nullptr) + offset);
		return is_record(record) && age >= -1 && age <= 1;
	};
	ASSERT_TRUE(eventually([&] { return shows(0); }));

	const struct {
		const char *setting;
		long offset;
	} steps[] = {{"-1h", -3600}, {"+1d", 86400}, {"+0", 0}};
	for (const auto &step : steps) {
		SCOPED_TRACE(step.setting);
		std::ofstream{offset_file} << step.setting << "\n";
		const auto stepped = std::chrono::steady_clock::now();
		ASSERT_TRUE(eventually([&] { return shows(step.offset); }))
			<< read_file(time_file).value_or("<missing>");
		// Generous for a busy machine; the daemon itself takes at most a second.
		EXPECT_LT(std::chrono::steady_clock::now() - stepped, 3s);
		EXPECT_TRUE(ticks()) << "the file stopped ticking";
		EXPECT_TRUE(eventually([&] { return shows(step.offset); })) << content();
	}
	EXPECT_TRUE(daemon.running());
	EXPECT_EQ(daemon.errors(), startup_line());
}

} // namespace
