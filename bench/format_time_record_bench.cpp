// How long the pieces of a tick take, beside the C library's own conversion.
#include "time_file.h"
#include "time_record.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace {

void BM_format_time_record(benchmark::State &state)
{
	const std::tm utc = utc_time(1796687055);
	char line[line_buffer_size];
	for (auto _ : state) {
		benchmark::DoNotOptimize(format_time_record(utc, line));
		benchmark::ClobberMemory();
	}
}
BENCHMARK(BM_format_time_record);

void BM_utc_time(benchmark::State &state)
{
	std::time_t clock = 1796687055;
	for (auto _ : state)
		benchmark::DoNotOptimize(utc_time(++clock));
}
BENCHMARK(BM_utc_time);

void BM_libc_gmtime_r(benchmark::State &state)
{
	std::time_t clock = 1796687055;
	std::tm utc{};
	for (auto _ : state)
		benchmark::DoNotOptimize(gmtime_r(&++clock, &utc));
}
BENCHMARK(BM_libc_gmtime_r);

// A whole tick's work but the sleep, on a file in /tmp.
void BM_tick_without_sleep(benchmark::State &state)
{
	const std::string path = "/tmp/vantrel-bench-" + std::to_string(getpid()) + ".dat";
	char line[line_buffer_size];
	std::time_t clock = 1796687055;
	for (auto _ : state) {
		const std::size_t length = format_time_record(utc_time(++clock), line);
		benchmark::DoNotOptimize(write_time_file(path.c_str(), {line, length}));
	}
	std::remove(path.c_str());
}
BENCHMARK(BM_tick_without_sleep);

} // namespace

BENCHMARK_MAIN();
