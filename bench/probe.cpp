// probe: measures a time-file writer from the outside, as its readers meet
// the file. Each command prints one line of key=value pairs.
//
//   probe watch SECONDS OUTDIR NAME=FILE...   lag of each new second (inotify)
//                                            and freshness at random instants
//   probe read SECONDS FILE                   a reader in a tight loop
//   probe behind SECONDS FILE                 how far the record falls behind
//                                            the clock, read every 10 ms
//   probe crash KILLS MAX_MS FILE -- CMD...   SIGKILL at random instants
//   probe trace TICKS FILE -- CMD...          the file at every system call
//   probe cost SECONDS SHIM FILE -- CMD...    CPU per tick, peak RSS, allocations
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

[[noreturn]] void die(const char *what)
{
	std::fprintf(stderr, "probe: %s: %s\n", what, std::strerror(errno));
	std::exit(1);
}

std::int64_t now_ns()
{
	timespec now{};
	clock_gettime(CLOCK_REALTIME, &now);
	return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// What a reader finds in the file: after a whole first line, nothing, only
// line feeds (harmless to every way of reading it), or other stray bytes.
enum class Kind { missing, empty, malformed, whole, line_feeds, extra };

struct Reading {
	Kind kind = Kind::missing;
	std::int64_t second = 0; // the record's instant, when there is a whole record
};

// Parses "YY M D h m s\n" strictly; returns the instant or -1.
std::int64_t parse_record(std::string_view line)
{
	int field[6];
	std::size_t at = 0;
	for (int i = 0; i < 6; ++i) {
		const std::size_t start = at;
		int value = 0;
		while (at < line.size() && line[at] >= '0' && line[at] <= '9')
			value = value * 10 + (line[at++] - '0');
		const std::size_t digits = at - start;
		if (digits == 0 || digits > 2 || (i == 0 && digits != 2) ||
		    (i > 0 && digits == 2 && line[start] == '0'))
			return -1;
		if (at >= line.size() || line[at++] != (i == 5 ? '\n' : ' '))
			return -1;
		field[i] = value;
	}
	if (at != line.size() || field[1] < 1 || field[1] > 12 || field[2] < 1 || field[2] > 31 ||
	    field[3] > 23 || field[4] > 59 || field[5] > 60)
		return -1;
	using namespace std::chrono;
	const sys_days date{year{2000 + field[0]} / month{static_cast<unsigned>(field[1])} /
	                    std::chrono::day{static_cast<unsigned>(field[2])}};
	return std::int64_t{date.time_since_epoch().count()} * 86400 + field[3] * 3600 + field[4] * 60 +
	       field[5];
}

Reading inspect(const char *path)
{
	const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
	if (fd < 0)
		return {};
	char buffer[256];
	const ssize_t n = read(fd, buffer, sizeof buffer);
	close(fd);
	if (n <= 0)
		return {n == 0 ? Kind::empty : Kind::missing, 0};
	const std::string_view content{buffer, static_cast<std::size_t>(n)};
	const std::size_t end = content.find('\n');
	if (end == std::string_view::npos)
		return {Kind::malformed, 0};
	const std::int64_t second = parse_record(content.substr(0, end + 1));
	if (second < 0)
		return {Kind::malformed, 0};
	const std::string_view rest = content.substr(end + 1);
	if (rest.empty())
		return {Kind::whole, second};
	return {rest.find_first_not_of('\n') == std::string_view::npos ? Kind::line_feeds : Kind::extra,
	        second};
}

bool has_record(const Reading &r)
{
	return r.kind == Kind::whole || r.kind == Kind::line_feeds || r.kind == Kind::extra;
}

double percentile(std::vector<double> values, double p)
{
	if (values.empty())
		return 0;
	std::sort(values.begin(), values.end());
	const auto rank = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
	return values[std::min(rank, values.size() - 1)];
}

struct Watched {
	std::string name, path, file_name;
	std::vector<double> lags_ms;
	std::int64_t last = 0, skipped = 0;
	std::atomic<long> samples{0}, fresh{0};
};

// Lag: when each new second first shows in the file, against its boundary.
// Freshness: whether a read at a random instant shows the current second.
int watch(int seconds, const std::string &outdir, const std::vector<std::string> &specs)
{
	std::vector<Watched> files(specs.size());
	const int inotify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
	if (inotify < 0)
		die("inotify_init1");
	std::map<int, std::vector<std::size_t>> by_watch;
	for (std::size_t i = 0; i < specs.size(); ++i) {
		const std::size_t eq = specs[i].find('=');
		files[i].name = specs[i].substr(0, eq);
		files[i].path = specs[i].substr(eq + 1);
		const std::size_t slash = files[i].path.rfind('/');
		files[i].file_name = files[i].path.substr(slash + 1);
		const std::string dir = files[i].path.substr(0, slash);
		const int wd = inotify_add_watch(inotify, dir.c_str(),
		                                 IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_MOVED_TO);
		if (wd < 0)
			die(dir.c_str());
		by_watch[wd].push_back(i);
	}
	const std::int64_t end = now_ns() + std::int64_t{seconds} * 1'000'000'000;

	std::thread sampler([&] {
		std::mt19937_64 random{std::random_device{}()};
		std::uniform_int_distribution<long> pause_us(0, 4000);
		while (now_ns() < end) {
			std::this_thread::sleep_for(std::chrono::microseconds(pause_us(random)));
			for (Watched &f : files) {
				const std::int64_t before = now_ns() / 1'000'000'000;
				const Reading r = inspect(f.path.c_str());
				const std::int64_t after = now_ns() / 1'000'000'000;
				++f.samples;
				if (has_record(r) && r.second >= before && r.second <= after)
					++f.fresh;
			}
		}
	});

	alignas(inotify_event) char events[4096];
	for (std::int64_t now = now_ns(); now < end; now = now_ns()) {
		pollfd ready{inotify, POLLIN, 0};
		if (poll(&ready, 1, static_cast<int>((end - now) / 1'000'000) + 1) <= 0)
			continue;
		const ssize_t n = read(inotify, events, sizeof events);
		for (ssize_t at = 0; at < n;) {
			const auto *event = reinterpret_cast<const inotify_event *>(events + at);
			at += static_cast<ssize_t>(sizeof *event + event->len);
			for (std::size_t i : by_watch[event->wd]) {
				Watched &f = files[i];
				if (event->len == 0 || f.file_name != event->name)
					continue;
				const Reading r = inspect(f.path.c_str());
				const std::int64_t seen = now_ns();
				if (!has_record(r) || r.second <= f.last)
					continue;
				if (f.last != 0) {
					f.skipped += r.second - f.last - 1;
					f.lags_ms.push_back(static_cast<double>(seen - r.second * 1'000'000'000) / 1e6);
				}
				f.last = r.second;
			}
		}
	}
	sampler.join();

	for (Watched &f : files) {
		std::ofstream lags{outdir + "/" + f.name + ".lags"};
		for (double lag : f.lags_ms)
			lags << lag << "\n";
		std::printf("name=%s seconds=%zu lag_p50_ms=%.3f lag_p99_ms=%.3f lag_max_ms=%.3f "
		            "skipped=%lld samples=%ld fresh_pct=%.3f\n",
		            f.name.c_str(), f.lags_ms.size(), percentile(f.lags_ms, 0.5),
		            percentile(f.lags_ms, 0.99), percentile(f.lags_ms, 1.0),
		            static_cast<long long>(f.skipped), f.samples.load(),
		            f.samples ? 100.0 * static_cast<double>(f.fresh) / static_cast<double>(f.samples.load()) : 0.0);
	}
	return 0;
}

// A reader in a tight open/read/close loop.
int read_loop(int seconds, const char *path)
{
	long reads = 0, stale = 0;
	std::map<Kind, long> found;
	const std::int64_t end = now_ns() + std::int64_t{seconds} * 1'000'000'000;
	for (std::int64_t now = 0; now < end; ++reads) {
		const Reading r = inspect(path);
		now = now_ns();
		++found[r.kind];
		if (has_record(r) && std::llabs(now / 1'000'000'000 - r.second) > 1)
			++stale;
	}
	const auto per_million = [&](long count) {
		return static_cast<double>(count) * 1e6 / static_cast<double>(reads);
	};
	const long empty = found[Kind::empty], malformed = found[Kind::malformed],
	           line_feeds = found[Kind::line_feeds], extra = found[Kind::extra],
	           missing = found[Kind::missing];
	std::printf("reads=%ld empty=%ld malformed=%ld line_feeds=%ld extra=%ld stale=%ld missing=%ld "
	            "bad_ppm=%.3f empty_ppm=%.3f malformed_ppm=%.3f line_feeds_ppm=%.3f extra_ppm=%.3f "
	            "stale_ppm=%.3f\n",
	            reads, empty, malformed, line_feeds, extra, stale, missing,
	            per_million(empty + malformed + extra + stale + missing), per_million(empty),
	            per_million(malformed), per_million(line_feeds), per_million(extra),
	            per_million(stale));
	return 0;
}

// How far behind the clock the record is, read every 10 ms: the clock less
// the record's instant, so 0 to 1 s for a writer that keeps up. A stretch is
// a run of reads 2 s or more behind; the time is taken after each read, so a
// read that blocks counts against the writer.
int behind(int seconds, const char *path)
{
	double worst = 0;
	long reads = 0, stretches = 0;
	bool in_stretch = false;
	const std::int64_t end = now_ns() + std::int64_t{seconds} * 1'000'000'000;
	for (std::int64_t now = 0; now < end; ++reads) {
		const Reading r = inspect(path);
		now = now_ns();
		const bool late = has_record(r) && now - r.second * 1'000'000'000 >= 2'000'000'000;
		if (has_record(r))
			worst = std::max(worst, static_cast<double>(now - r.second * 1'000'000'000) / 1e9);
		stretches += late && !in_stretch;
		in_stretch = late;
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	}
	std::printf("reads=%ld behind_max_s=%.2f stretches_2s=%ld\n", reads, worst, stretches);
	return 0;
}

// Starts a contender in a process group of its own, output discarded.
pid_t spawn(char **argv, char **env = environ)
{
	posix_spawn_file_actions_t actions;
	posix_spawn_file_actions_init(&actions);
	posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
	posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
	posix_spawnattr_t attributes;
	posix_spawnattr_init(&attributes);
	posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
	posix_spawnattr_setpgroup(&attributes, 0);
	pid_t pid = -1;
	errno = posix_spawn(&pid, argv[0], &actions, &attributes, argv, env);
	posix_spawn_file_actions_destroy(&actions);
	posix_spawnattr_destroy(&attributes);
	if (errno != 0)
		die(argv[0]);
	return pid;
}

void kill_group(pid_t pid)
{
	kill(-pid, SIGKILL);
	int status = 0;
	waitpid(pid, &status, 0);
}

// SIGKILL at random instants after a start, then what the file holds.
int crash(long kills, long max_ms, const char *path, char **argv)
{
	std::mt19937_64 random{std::random_device{}()};
	std::uniform_int_distribution<long> delay_us(0, max_ms * 1000);
	std::map<Kind, long> found;
	for (long k = 0; k < kills; ++k) {
		const pid_t pid = spawn(argv);
		std::this_thread::sleep_for(std::chrono::microseconds(delay_us(random)));
		kill_group(pid);
		usleep(2000); // let killed children be gone before looking
		++found[inspect(path).kind];
	}
	std::printf("kills=%ld empty=%ld broken=%ld line_feeds=%ld extra=%ld missing=%ld\n", kills,
	            found[Kind::empty], found[Kind::malformed], found[Kind::line_feeds],
	            found[Kind::extra], found[Kind::missing]);
	return 0;
}

// Puts a longest or a shortest record in the file, so that the next tick
// must shrink or grow it.
void perturb(const char *path, bool longest)
{
	const std::string_view record = longest ? "99 12 31 23 59 59\n" : "00 1 1 0 0 0\n";
	const int fd = open(path, O_WRONLY | O_CLOEXEC);
	if (fd < 0)
		return;
	if (pwrite(fd, record.data(), record.size(), 0) < 0 ||
	    ftruncate(fd, static_cast<off_t>(record.size())) != 0)
		std::perror("probe: perturb");
	close(fd);
}

// Stops the contender, and any child it starts, at the entry and exit of
// every system call and looks at the file there: the file only changes in
// system calls, so these are all the states a reader or a kill can meet.
// The first half of the ticks runs undisturbed and gives the steady count
// of system calls per tick; before each tick of the second half the file
// gets a longer or a shorter record, so that shrinking and growing are seen.
int trace(long ticks, const char *path, char **argv)
{
	const pid_t child = fork();
	if (child < 0)
		die("fork");
	if (child == 0) {
		setpgid(0, 0);
		const int null = open("/dev/null", O_WRONLY);
		dup2(null, STDOUT_FILENO);
		dup2(null, STDERR_FILENO);
		ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
		raise(SIGSTOP);
		// cppcheck-suppress unreachableCode ; SIGSTOP returns once the tracer resumes us
		execv(argv[0], argv);
		_exit(127);
	}
	int status = 0;
	waitpid(child, &status, 0);
	ptrace(PTRACE_SETOPTIONS, child, nullptr,
	       PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL | PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK |
	           PTRACE_O_TRACECLONE);
	ptrace(PTRACE_SYSCALL, child, nullptr, nullptr);

	std::map<pid_t, bool> in_call;
	std::map<Kind, long> states;
	std::vector<long> calls_per_tick;
	long calls = 0, tick = 0;
	while (tick <= ticks) {
		const pid_t pid = waitpid(-1, &status, __WALL);
		if (pid < 0)
			break;
		if (WIFEXITED(status) || WIFSIGNALED(status)) {
			in_call.erase(pid);
			if (pid == child)
				break;
			continue;
		}
		int deliver = 0;
		const int signal = WSTOPSIG(status);
		if (signal == (SIGTRAP | 0x80)) {
			const bool entering = !in_call[pid];
			in_call[pid] = entering;
			++states[inspect(path).kind];
			user_regs_struct regs{};
			ptrace(PTRACE_GETREGS, pid, nullptr, &regs);
			const auto nr = static_cast<long>(regs.orig_rax);
			if (entering) {
				++calls;
				if (nr == SYS_clock_nanosleep || nr == SYS_nanosleep) {
					if (tick > 0)
						calls_per_tick.push_back(calls);
					calls = 0;
					++tick;
					if (tick > ticks / 2)
						perturb(path, tick % 2 == 0);
				}
			}
		} else if (signal != SIGTRAP && !(signal == SIGSTOP && !in_call.count(pid))) {
			deliver = signal;
		}
		ptrace(PTRACE_SYSCALL, pid, nullptr, deliver);
	}
	kill(-child, SIGKILL);
	while (waitpid(-1, &status, __WALL) > 0) {
	}
	// Steady ticks: the undisturbed ones after the first.
	std::vector<long> steady(calls_per_tick.begin(),
	                         calls_per_tick.begin() +
	                             std::min<long>(static_cast<long>(calls_per_tick.size()), ticks / 2 - 1));
	std::sort(steady.begin(), steady.end());
	long stops = 0;
	for (const auto &[kind, count] : states)
		stops += count;
	std::printf("ticks=%ld stops=%ld whole=%ld line_feeds=%ld extra=%ld empty=%ld broken=%ld "
	            "missing=%ld calls_per_steady_tick=%ld\n",
	            tick, stops, states[Kind::whole], states[Kind::line_feeds], states[Kind::extra],
	            states[Kind::empty],
	            states[Kind::malformed], states[Kind::missing],
	            steady.empty() ? -1 : steady[steady.size() / 2]);
	return 0;
}

// Waits up to `timeout_ms` for `file` in the directory watched by `inotify`
// to change; says whether it did.
bool changed(int inotify, const std::string &file, int timeout_ms)
{
	pollfd ready{inotify, POLLIN, 0};
	if (poll(&ready, 1, timeout_ms) <= 0)
		return false;
	alignas(inotify_event) char events[4096];
	const ssize_t n = read(inotify, events, sizeof events);
	bool seen = false;
	for (ssize_t at = 0; at < n;) {
		const auto *event = reinterpret_cast<const inotify_event *>(events + at);
		seen = seen || (event->len > 0 && file == event->name);
		at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
	}
	return seen;
}

// The nanoseconds a process has run on a CPU, from the scheduler's own
// account: exact, but of that process alone.
long long run_ns(pid_t pid)
{
	std::ifstream schedstat{"/proc/" + std::to_string(pid) + "/schedstat"};
	long long ns = -1;
	schedstat >> ns;
	return ns;
}

// perf's task-clock of a process and every child it forks, over `seconds`;
// -1 where perf can't be had. Nanoseconds, from the scheduler, like schedstat.
long long perf_task_clock_ns(pid_t pid, int seconds)
{
	char output[] = "/tmp/probe-perf-XXXXXX";
	const int fd = mkstemp(output);
	if (fd < 0)
		return -1;
	close(fd);
	const std::string target = std::to_string(pid), duration = std::to_string(seconds);
	const char *argv[] = {"perf", "stat",         "-x", ",",  "-e",    "task-clock",     "-o",
	                      output, "-p", target.c_str(), "--", "sleep", duration.c_str(), nullptr};
	pid_t perf = -1;
	int status = -1;
	if (posix_spawnp(&perf, "perf", nullptr, nullptr, const_cast<char **>(argv), environ) != 0 ||
	    waitpid(perf, &status, 0) != perf || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
		unlink(output);
		return -1;
	}
	double ms = -1;
	std::ifstream in{output};
	for (std::string line; std::getline(in, line);)
		if (line.find(",task-clock,") != std::string::npos)
			ms = std::strtod(line.c_str(), nullptr);
	unlink(output);
	return ms < 0 ? -1 : static_cast<long long>(ms * 1e6);
}

// Runs a contender with the allocation counter preloaded and, once it is
// past its start, measures a steady window of `seconds` that begins right
// after a tick: CPU time (perf's task-clock, counting forked children too;
// without perf, schedstat, the process alone), the ticks in it (bursts of
// changes to FILE), allocations, and the peak resident memory.
int cost(int seconds, const char *shim, const char *path, char **argv)
{
	char counter_path[] = "/tmp/probe-allocs-XXXXXX";
	const int fd = mkstemp(counter_path);
	if (fd < 0 || ftruncate(fd, sizeof(unsigned long)) != 0)
		die("counter file");
	void *mapped = mmap(nullptr, sizeof(unsigned long), PROT_READ, MAP_SHARED, fd, 0);
	close(fd);
	if (mapped == MAP_FAILED)
		die("mmap");
	const auto allocations = [mapped] { return *static_cast<volatile unsigned long *>(mapped); };
	std::vector<std::string> env_strings;
	for (char **e = environ; *e != nullptr; ++e)
		env_strings.emplace_back(*e);
	env_strings.push_back(std::string{"LD_PRELOAD="} + shim);
	env_strings.push_back(std::string{"BENCH_ALLOC_COUNTER="} + counter_path);
	std::vector<char *> env;
	for (std::string &s : env_strings)
		env.push_back(s.data());
	env.push_back(nullptr);

	const std::string file{path};
	const std::string dir = file.substr(0, file.rfind('/'));
	const std::string name = file.substr(file.rfind('/') + 1);
	const int inotify = inotify_init1(IN_CLOEXEC);
	if (inotify < 0 || inotify_add_watch(inotify, dir.c_str(), IN_MODIFY | IN_CLOSE_WRITE) < 0)
		die("inotify");

	const pid_t pid = spawn(argv, env.data());
	std::this_thread::sleep_for(std::chrono::seconds(2));
	while (!changed(inotify, name, 2000)) {
	}
	// The rest of that tick's changes, so the window starts between ticks.
	while (changed(inotify, name, 100)) {
	}
	const unsigned long allocations_before = allocations();
	const long long run_before = run_ns(pid);
	// A tick is a burst of changes: its calls come microseconds apart, the
	// ticks a second.
	long ticks = 0;
	std::thread counter{[&] {
		using namespace std::chrono;
		const auto end = steady_clock::now() + std::chrono::seconds{seconds};
		auto last = steady_clock::time_point{};
		for (auto now = steady_clock::now(); now < end; now = steady_clock::now()) {
			const auto left = duration_cast<milliseconds>(end - now).count();
			if (!changed(inotify, name, static_cast<int>(left) + 1))
				continue;
			if (steady_clock::now() - last > milliseconds{100})
				++ticks;
			last = steady_clock::now();
		}
	}};
	long long cpu_ns = perf_task_clock_ns(pid, seconds);
	const char *source = "perf";
	counter.join();
	if (cpu_ns < 0) {
		cpu_ns = run_ns(pid) - run_before;
		source = "schedstat";
	}
	const unsigned long allocations_in_window = allocations() - allocations_before;
	// The contender's own peak: rusage would count the spawner's memory too.
	long peak_kib = -1;
	std::ifstream status{"/proc/" + std::to_string(pid) + "/status"};
	for (std::string line; std::getline(status, line);)
		if (line.rfind("VmHWM:", 0) == 0)
			peak_kib = std::stol(line.substr(6));
	kill_group(pid);
	close(inotify);
	unlink(counter_path);
	std::printf("seconds=%d ticks=%ld cpu_ns=%lld cpu_source=%s peak_rss_kib=%ld allocations=%lu\n",
	            seconds, ticks, cpu_ns, source, peak_kib, allocations_in_window);
	return 0;
}

int print_usage()
{
	std::fputs("usage: probe watch SECONDS OUTDIR NAME=FILE...\n"
	           "       probe read SECONDS FILE\n"
	           "       probe behind SECONDS FILE\n"
	           "       probe crash KILLS MAX_MS FILE -- COMMAND...\n"
	           "       probe trace TICKS FILE -- COMMAND...\n"
	           "       probe cost SECONDS SHIM FILE -- COMMAND...\n",
	           stderr);
	return 2;
}

} // namespace

int main(int argc, char **argv)
{
	const std::vector<std::string> args(argv + 1, argv + argc);
	if (args.size() < 3)
		return print_usage();
	char **command = nullptr;
	for (int i = 1; i < argc; ++i)
		if (std::strcmp(argv[i], "--") == 0 && i + 1 < argc)
			command = argv + i + 1;
	const std::string &verb = args[0];
	if (verb == "watch" && args.size() >= 4)
		return watch(std::stoi(args[1]), args[2], {args.begin() + 3, args.end()});
	if (verb == "read")
		return read_loop(std::stoi(args[1]), args[2].c_str());
	if (verb == "behind")
		return behind(std::stoi(args[1]), args[2].c_str());
	if (verb == "crash" && command != nullptr)
		return crash(std::stol(args[1]), std::stol(args[2]), args[3].c_str(), command);
	if (verb == "trace" && command != nullptr)
		return trace(std::stol(args[1]), args[2].c_str(), command);
	if (verb == "cost" && command != nullptr)
		return cost(std::stoi(args[1]), args[2].c_str(), args[3].c_str(), command);
	return print_usage();
}
