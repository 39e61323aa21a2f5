// The built daemon, driven from the outside as its users meet it; its
// file kept in place and read in a tight loop is in vantrel_faults_test.cpp.
#include "daemon.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <sys/stat.h>
#include <sys/syscall.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using VantrelTest = DaemonTest;

// How many writes the process `pid` makes in `span`, as the kernel counts
// them.
long writes_within(pid_t pid, std::chrono::milliseconds span)
{
	const auto count = [&] {
		std::ifstream io{"/proc/" + std::to_string(pid) + "/io"};
		std::string key;
		long value = -1;
		while (io >> key >> value && key != "syscw:") {
		}
		return key == "syscw:" ? value : -1000;
	};
	const long before = count();
	std::this_thread::sleep_for(span);
	return count() - before;
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
		const long writes = writes_within(daemon.pid(), 4s);
		EXPECT_GE(writes, 2) << "it stopped writing";
		EXPECT_LE(writes, 8) << "it spins";
		EXPECT_TRUE(daemon.running());
		EXPECT_EQ(daemon.errors(), startup_line() + "vantrel: sleep: Operation not permitted\n");
	}
}

} // namespace
