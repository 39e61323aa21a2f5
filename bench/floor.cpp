// The floor, for comparison: the least a writer can do each second. The
// file stays open and each tick is one pwrite at offset 0, on the second's
// boundary; nothing checks or cuts the file, so a shorter record leaves
// the old tail behind. Usage: floor FILE
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <unistd.h>

int main(int argc, char **argv)
{
	if (argc != 2) {
		std::fputs("usage: floor FILE\n", stderr);
		return 2;
	}
	const int fd = open(argv[1], O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
	if (fd < 0) {
		std::perror("floor: open");
		return 1;
	}
	char line[32];
	for (;;) {
		timespec now{};
		clock_gettime(CLOCK_REALTIME, &now);
		tm utc{};
		gmtime_r(&now.tv_sec, &utc);
		const int length = std::snprintf(line, sizeof line, "%.2d %d %d %d %d %d\n", utc.tm_year % 100,
		                                 utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
		if (length > 0)
			(void)pwrite(fd, line, static_cast<std::size_t>(length), 0);
		const timespec rest{0, 1'000'000'000 - now.tv_nsec};
		clock_nanosleep(CLOCK_MONOTONIC, 0, &rest, nullptr);
	}
}
