// The time record: the one line of the time file, "YY M D h m s\n" in UTC.
#ifndef VANTREL_TIME_RECORD_H
#define VANTREL_TIME_RECORD_H

#include <cstddef>
#include <ctime>

// The caller's line buffer; a record and its zero byte take at most 19.
inline constexpr std::size_t line_buffer_size = 1000;

// Breaks a clock reading down into UTC. Unlike gmtime it consults no time
// zone at all (a TZ such as "right/UTC" makes glibc's gmtime shift by leap
// seconds), takes no lock and never allocates.
std::tm utc_time(std::time_t clock);

// Writes the record of `utc` into `line`, followed by a zero byte that is
// not part of it. Returns the record's length.
std::size_t format_time_record(const std::tm &utc, char (&line)[line_buffer_size]);

#endif
