// The obvious loop, for comparison: truncate the file, write, close, sleep a
// second. Usage: naive FILE
#include <cstdio>
#include <ctime>

#include <unistd.h>

int main(int argc, char **argv)
{
	if (argc != 2) {
		std::fputs("usage: naive FILE\n", stderr);
		return 2;
	}
	char line[1000];
	for (;;) {
		const std::time_t now = std::time(nullptr);
		const std::tm *utc = std::gmtime(&now);
		std::snprintf(line, sizeof line, "%.2d %d %d %d %d %d\n", utc->tm_year % 100,
		              utc->tm_mon + 1, utc->tm_mday, utc->tm_hour, utc->tm_min, utc->tm_sec);
		if (std::FILE *file = std::fopen(argv[1], "w")) {
			std::fputs(line, file);
			std::fclose(file);
		}
		sleep(1);
	}
}
