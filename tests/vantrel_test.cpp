// The built daemon, driven from the outside as its users meet it.
#include "daemon.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct stat status_of(const std::string &path)
{
	struct stat status {};
	if (lstat(path.c_str(), &status) != 0)
		status.st_ino = 0;
	return status;
}

using VantrelTest = DaemonTest;

// The file holds the current UTC record from the first tick on, ticks in
// the same inode with the same mode, comes back when deleted, and only the
// start-up line is said. A reader in a tight loop meets a whole record on
// the first line every time: never an empty file, never a cut line.
TEST_F(VantrelTest, KeepsOneRecordInTheSameFile)
{
	std::ofstream{time_file} << std::string(100'000, 'x') << "\n";
	ASSERT_EQ(chmod(time_file.c_str(), 0640), 0);
	const struct stat before = status_of(time_file);

	Daemon daemon{launch()};
	ASSERT_TRUE(eventually([&] { return holds_record(); })) << content().substr(0, 40);
	EXPECT_LE(std::labs(age_of(content())), 2) << content();

	const auto end = std::chrono::steady_clock::now() + 3500ms;
	const Tally tally = read_tightly(time_file, [&](const Tally &) { return std::chrono::steady_clock::now() >= end; });
	EXPECT_EQ(tally.missing + tally.empty + tally.partial, 0) << tally;
	EXPECT_GE(tally.records.size(), 2u) << "the file did not tick";
	const struct stat after = status_of(time_file);
	EXPECT_EQ(after.st_ino, before.st_ino);
	EXPECT_EQ(after.st_mode, before.st_mode);

	ASSERT_EQ(unlink(time_file.c_str()), 0);
	EXPECT_TRUE(eventually([&] { return holds_record(); }));

	EXPECT_TRUE(daemon.running());
	EXPECT_EQ(daemon.errors(), startup_line()) << "and nothing on standard output";
}

// How often the file is written and closed in `span`.
int writes_within(const std::string &time_file, std::chrono::milliseconds span)
{
	const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
	const std::string dir = fs::path{time_file}.parent_path().string();
	if (watch < 0 || inotify_add_watch(watch, dir.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0)
		throw std::runtime_error("inotify failed");
	const std::string name = fs::path{time_file}.filename().string();
	int writes = 0;
	const auto end = std::chrono::steady_clock::now() + span;
	for (auto now = std::chrono::steady_clock::now(); now < end; now = std::chrono::steady_clock::now()) {
		pollfd ready{watch, POLLIN, 0};
		const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now);
		if (poll(&ready, 1, static_cast<int>(left.count()) + 1) <= 0)
			continue;
		alignas(inotify_event) char buffer[4096];
		const ssize_t length = read(watch, buffer, sizeof buffer);
		for (ssize_t at = 0; at < length;) {
			const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
			if (event->len > 0 && name == event->name)
				++writes;
			at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
		}
	}
	close(watch);
	return writes;
}

// A sandbox may refuse the sleep, or every way of waiting. The daemon must
// neither spin nor stop: it says so once and goes on writing about once a
// second.
TEST_F(VantrelTest, RefusedSleepNeitherSpinsNorStops)
{
	std::vector<long> sleep{SYS_clock_nanosleep};
	std::vector<long> every_wait{SYS_clock_nanosleep, SYS_ppoll, SYS_rt_sigtimedwait, SYS_pselect6};
#ifdef SYS_poll
	every_wait.push_back(SYS_poll);
#endif
#ifdef SYS_clock_nanosleep_time64
	sleep.push_back(SYS_clock_nanosleep_time64);
	every_wait.insert(every_wait.end(), {SYS_clock_nanosleep_time64, SYS_ppoll_time64,
	                                     SYS_rt_sigtimedwait_time64, SYS_pselect6_time64});
#endif
	const struct {
		const char *name;
		std::vector<long> calls;
	} cases[] = {{"the sleep", sleep}, {"every wait", every_wait}};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		Launch refused = launch();
		refused.refused_calls = c.calls;
		fs::remove(time_file);
		Daemon daemon{refused};
		ASSERT_TRUE(eventually([&] { return holds_record(); }));
		const int writes = writes_within(time_file, 4s);
		EXPECT_GE(writes, 2) << "it stopped writing";
		EXPECT_LE(writes, 8) << "it spins";
		EXPECT_TRUE(daemon.running());
		EXPECT_EQ(daemon.errors(), startup_line() + "vantrel: sleep: Operation not permitted\n");
	}
}

} // namespace
