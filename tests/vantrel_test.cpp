// The built daemon, driven from the outside as its users meet it.
#include "daemon.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string time_file = VANTREL_TEST_FILE;
const fs::path data_dir = fs::path{time_file}.parent_path();
const std::string startup_line = startup_line_for(time_file);
const Launch as_users_run_it{VANTREL_BINARY, {}, 0, {}};

std::string content() { return read_file(time_file).value_or(""); }
bool holds_record() { return is_record(content()); }

struct stat status_of(const std::string &path)
{
	struct stat status {};
	if (lstat(path.c_str(), &status) != 0)
		status.st_ino = 0;
	return status;
}

class VantrelTest : public testing::Test {
protected:
	void SetUp() override
	{
		fs::remove_all(data_dir.parent_path());
		fs::create_directories(data_dir);
	}
};

TEST_F(VantrelTest, KeepsOneRecordInTheSameFile)
{
	{
		std::ofstream old{time_file};
		old << std::string(100'000, 'x') << "\n";
	}
	ASSERT_EQ(chmod(time_file.c_str(), 0640), 0);
	const struct stat before = status_of(time_file);

	Daemon daemon{as_users_run_it};
	ASSERT_TRUE(eventually(holds_record)) << content().substr(0, 40);
	const std::string first = content();
	EXPECT_LE(std::labs(age_of(first)), 2) << first;

	ASSERT_TRUE(eventually([&] { return holds_record() && content() != first; }));
	const struct stat after = status_of(time_file);
	EXPECT_EQ(after.st_ino, before.st_ino);
	EXPECT_EQ(after.st_mode, before.st_mode);

	ASSERT_EQ(unlink(time_file.c_str()), 0);
	EXPECT_TRUE(eventually(holds_record));

	EXPECT_TRUE(daemon.running());
	EXPECT_EQ(daemon.errors(), startup_line);
	daemon.stop();
	EXPECT_EQ(daemon.output(), "");
}

// A reader polling the file must always meet a whole record on its first
// line: never an empty file, never a cut line.
TEST_F(VantrelTest, ReaderNeverMeetsAnIncompleteRecord)
{
	Daemon daemon{as_users_run_it};
	ASSERT_TRUE(eventually(holds_record));
	long reads = 0, bad = 0;
	std::set<std::string> seen;
	const auto end = std::chrono::steady_clock::now() + 3500ms;
	while (std::chrono::steady_clock::now() < end) {
		const std::string line = first_line(content());
		++reads;
		if (!is_record(line))
			++bad;
		else
			seen.insert(line);
	}
	EXPECT_EQ(bad, 0) << "of " << reads << " reads";
	EXPECT_GE(seen.size(), 2u) << "the file did not tick";
}

// Every kind of trouble gets one line, the loop carries on, and a line says
// when writing works again.
TEST_F(VantrelTest, ReportsTroubleOnceAndRecovers)
{
	fs::remove_all(data_dir);
	Daemon daemon{as_users_run_it};
	std::string expected = startup_line + "vantrel: open " + time_file + ": No such file or directory\n";
	ASSERT_TRUE(eventually([&] { return daemon.errors() == expected; })) << daemon.errors();
	std::this_thread::sleep_for(2500ms); // a few ticks: no repeat
	EXPECT_EQ(daemon.errors(), expected);

	const std::string again = "vantrel: writing " + time_file + " again\n";
	fs::create_directories(data_dir);
	expected += again;
	ASSERT_TRUE(eventually([&] { return holds_record() && daemon.errors() == expected; }))
		<< daemon.errors();

	const std::string victim = (data_dir / "victim").string();
	const struct {
		const char *name;
		std::function<int()> make; // 0 once made; the daemon may recreate the file meanwhile
		const char *reason;
	} troubles[] = {
		{"FIFO", [] { return mkfifo(time_file.c_str(), 0666); }, "not a regular file"},
		{"symbolic link", [&] { return symlink(victim.c_str(), time_file.c_str()); },
		 "symbolic link, not followed"},
		{"directory", [] { return mkdir(time_file.c_str(), 0755); }, "Is a directory"},
	};
	for (const auto &trouble : troubles) {
		SCOPED_TRACE(trouble.name);
		{
			std::ofstream{victim} << "keep me\n";
		}
		ASSERT_TRUE(eventually([&] {
			std::error_code ignored;
			fs::remove(time_file, ignored);
			return trouble.make() == 0;
		}));
		expected += "vantrel: open " + time_file + ": " + trouble.reason + "\n";
		EXPECT_TRUE(eventually([&] { return daemon.errors() == expected; })) << daemon.errors();
		std::this_thread::sleep_for(1500ms);
		EXPECT_TRUE(daemon.running());
		EXPECT_EQ(read_file(victim), "keep me\n");

		fs::remove(time_file);
		expected += again;
		EXPECT_TRUE(eventually([&] { return holds_record() && daemon.errors() == expected; }))
			<< daemon.errors();
	}
}

// How often the file is written and closed in `span`.
int writes_within(std::chrono::milliseconds span)
{
	const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
	if (watch < 0 || inotify_add_watch(watch, data_dir.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0)
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

// A sandbox may refuse the sleep. The daemon must neither spin nor stop:
// it says so once and goes on writing about once a second.
TEST_F(VantrelTest, RefusedSleepNeitherSpinsNorStops)
{
	Launch refused = as_users_run_it;
	refused.refused_calls = {SYS_clock_nanosleep};
#ifdef SYS_clock_nanosleep_time64
	refused.refused_calls.push_back(SYS_clock_nanosleep_time64);
#endif
	Daemon daemon{refused};
	ASSERT_TRUE(eventually(holds_record));
	const int writes = writes_within(4s);
	EXPECT_GE(writes, 2) << "it stopped writing";
	EXPECT_LE(writes, 8) << "it spins";
	EXPECT_TRUE(daemon.running());
	EXPECT_EQ(daemon.errors(), startup_line + "vantrel: sleep: Operation not permitted\n");
}

} // namespace
