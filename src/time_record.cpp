#include "time_record.h"

#include <chrono>
#include <cstdio>

std::tm utc_time(std::time_t clock)
{
	using namespace std::chrono;
	const sys_seconds instant{seconds{clock}};
	const sys_days day = floor<days>(instant);
	const year_month_day date{day};
	const hh_mm_ss time_of_day{instant - day};

	std::tm utc{};
	utc.tm_year = static_cast<int>(date.year()) - 1900;
	utc.tm_mon = static_cast<int>(static_cast<unsigned>(date.month())) - 1;
	utc.tm_mday = static_cast<int>(static_cast<unsigned>(date.day()));
	utc.tm_hour = static_cast<int>(time_of_day.hours().count());
	utc.tm_min = static_cast<int>(time_of_day.minutes().count());
	utc.tm_sec = static_cast<int>(time_of_day.seconds().count());
	return utc;
}

std::size_t format_time_record(const std::tm &utc, char (&line)[line_buffer_size])
{
	const int length = std::snprintf(line, sizeof line, record_format, utc.tm_year % 100,
	                                 utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
	                                 utc.tm_sec);
	return length > 0 ? static_cast<std::size_t>(length) : 0;
}
