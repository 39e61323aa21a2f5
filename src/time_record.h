// The time record: the one line of the time file, "YY M D h m s\n" in UTC.
#ifndef VANTREL_TIME_RECORD_H
#define VANTREL_TIME_RECORD_H

#include <cstddef>
#include <ctime>

// A 32-bit clock would stop the file at 2038-01-19 03:14:07 UTC.
static_assert(sizeof(std::time_t) >= 8, "vantrel needs a 64-bit time_t (build with _TIME_BITS=64)");

// The record: year within the century, month, day, hour, minute, second.
// Only the year is padded; the century is not recorded.
inline constexpr char record_format[] = "%.2d %d %d %d %d %d\n";
// Its longest, line feed included, is "99 12 31 23 59 59\n"; its shortest
// "00 1 1 0 0 0\n", 13 bytes.
inline constexpr std::size_t longest_record = 18;

// The caller's line buffer; a record and its zero byte take at most 19.
inline constexpr std::size_t line_buffer_size = 1000;
static_assert(line_buffer_size > longest_record);

// Breaks a clock reading down into UTC: the fields the record uses, the
// rest zero. Unlike gmtime it consults no time
// zone at all (a TZ such as "right/UTC" makes glibc's gmtime shift by leap
// seconds), takes no lock and never allocates.
std::tm utc_time(std::time_t clock);

// Writes the record of `utc` into `line`, followed by a zero byte that is
// not part of it. Returns the record's length.
std::size_t format_time_record(const std::tm &utc, char (&line)[line_buffer_size]);

#endif
