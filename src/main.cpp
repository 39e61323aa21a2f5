// vantrel: keeps the time file holding the current UTC time, one record a second.
#include "config.h"
#include "next_second.h"
#include "report.h"
#include "time_file.h"
#include "time_record.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

#include <sys/prctl.h>

namespace {

// Says what changed since the last tick, and remembers it.
void track(Outcome &last, const Outcome &now)
{
	report_change(stderr, time_file_path, last, now);
	last = now;
}

} // namespace

// Takes no arguments and no input: the path is fixed at build time.
int main()
{
	// Without a standard error there is no one to tell: carry on regardless.
	(void)std::fputs(startup_line, stderr);
	// Each new second should reach the file at once, not up to the default
	// 50 us of timer slack late. Failing, it costs only that latency.
	(void)::prctl(PR_SET_TIMERSLACK, 1UL);

	char line[line_buffer_size];
	Outcome clock{}, written{}, slept{};
	for (;;) {
		timespec now{};
		const bool read = ::clock_gettime(CLOCK_REALTIME, &now) == 0;
		track(clock, read ? Outcome{} : Outcome{Fault::clock, errno});
		if (read) {
			const std::size_t length = format_time_record(utc_time(now.tv_sec), line);
			track(written, write_time_file(time_file_path, {line, length}));
		}
		track(slept, sleep_to_next_second());
	}
}
