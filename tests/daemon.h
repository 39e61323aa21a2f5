// The built daemon as a child process, for the tests that drive it from the
// outside as its users meet it.
#ifndef VANTREL_TESTS_DAEMON_H
#define VANTREL_TESTS_DAEMON_H

#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

inline bool eventually(const std::function<bool()> &condition,
                       std::chrono::milliseconds limit = std::chrono::seconds{10})
{
	const auto deadline = std::chrono::steady_clock::now() + limit;
	while (std::chrono::steady_clock::now() < deadline) {
		if (condition())
			return true;
		std::this_thread::sleep_for(std::chrono::milliseconds{10});
	}
	return condition();
}

// How to start the daemon: which build of it, with what set in its
// environment (before what it inherits), as which user (0: as the test
// runs), and which system calls a filter refuses it with EPERM, as a
// sandbox can.
struct Launch {
	std::string binary;
	std::vector<std::string> environment;
	uid_t uid = 0;
	std::vector<long> refused_calls;
};

// A seccomp filter that fails the given system calls with EPERM and allows
// the rest. The architecture is not checked: the daemon is native.
inline std::vector<sock_filter> refusing(const std::vector<long> &calls)
{
	std::vector<sock_filter> filter{
		BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr))};
	for (const long call : calls) {
		filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(call), 0, 1));
		filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM));
	}
	filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
	return filter;
}

// The daemon, with arguments it must ignore, a local time zone it must not
// use, and its standard output and error captured together, so that a
// test of what it says also sees anything on standard output. Killed when
// it goes.
class Daemon {
public:
	explicit Daemon(const Launch &launch)
	{
		// The first of two settings of a name is the one that counts.
		std::vector<std::string> strings = launch.environment;
		strings.emplace_back("TZ=Pacific/Kiritimati");
		for (char **e = environ; *e != nullptr; ++e)
			strings.emplace_back(*e);
		std::vector<char *> env;
		for (std::string &s : strings)
			env.push_back(s.data());
		env.push_back(nullptr);
		char name[] = "vantrel", help[] = "--help", file[] = "/etc/passwd";
		char *argv[] = {name, help, file, nullptr};
		std::vector<sock_filter> filter = refusing(launch.refused_calls);
		const sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};

		int said[2];
		if (pipe2(said, O_CLOEXEC | O_NONBLOCK) != 0)
			throw std::runtime_error("pipe2 failed");
		pid_ = fork();
		if (pid_ == 0) {
			// Only async-signal-safe calls between fork and exec.
			if (dup2(said[1], STDOUT_FILENO) < 0 || dup2(said[1], STDERR_FILENO) < 0)
				_exit(126);
			if (launch.uid != 0 &&
			    (setgroups(0, nullptr) != 0 || setgid(launch.uid) != 0 || setuid(launch.uid) != 0))
				_exit(126);
			if (!launch.refused_calls.empty() &&
			    (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
			     prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0))
				_exit(126);
			execve(launch.binary.c_str(), argv, env.data());
			_exit(127);
		}
		close(said[1]);
		said_ = said[0];
		if (pid_ < 0)
			throw std::runtime_error("fork failed");
	}
	Daemon(const Daemon &) = delete;
	Daemon &operator=(const Daemon &) = delete;
	~Daemon()
	{
		if (pid_ > 0) {
			kill(pid_, SIGKILL);
			waitpid(pid_, nullptr, 0);
		}
		close(said_);
	}

	bool running() const { return waitpid(pid_, nullptr, WNOHANG) == 0; }
	pid_t pid() const { return pid_; }
	// Standard error and output, so far.
	const std::string &errors()
	{
		char buffer[4096];
		for (ssize_t n; (n = read(said_, buffer, sizeof buffer)) > 0;)
			said_so_far_.append(buffer, static_cast<std::size_t>(n));
		return said_so_far_;
	}

private:
	pid_t pid_ = -1;
	int said_ = -1;
	std::string said_so_far_;
};

// Seconds from the instant a record names to `now` (by default, now); a
// million when it names none.
inline long age_of(const std::string &record, std::time_t now = std::time(nullptr))
{
	std::tm utc{};
	if (strptime(record.c_str(), "%y %m %d %H %M %S", &utc) == nullptr)
		return 1'000'000;
	return static_cast<long>(now - timegm(&utc));
}

// What a reader in a tight loop met: every read by kind, and each new
// record in the order it appeared.
struct Tally {
	long reads = 0, missing = 0, empty = 0, partial = 0;
	std::string example; // of a partial read
	std::vector<std::string> records;
};

inline std::ostream &operator<<(std::ostream &out, const Tally &tally)
{
	return out << tally.reads << " reads: " << tally.missing << " missing, " << tally.empty
	           << " empty, " << tally.partial << " partial (\"" << tally.example << "\")";
}

// Reads the file at `path` again and again until `enough` says so.
inline Tally read_tightly(const std::string &path, const std::function<bool(const Tally &)> &enough)
{
	Tally tally;
	while (!enough(tally)) {
		const auto read = read_file(path);
		++tally.reads;
		if (!read)
			++tally.missing;
		else if (read->empty())
			++tally.empty;
		else if (!reader_safe(*read)) {
			++tally.partial;
			tally.example = *read;
		} else if (tally.records.empty() || tally.records.back() != first_line(*read))
			tally.records.push_back(first_line(*read));
	}
	return tally;
}

// The tests that drive the daemon: which build of it runs, the file it
// keeps, in a data directory made afresh for each test.
class DaemonTest : public testing::Test {
protected:
	void SetUp() override
	{
		// A case keeping the built-in file waits its turn; the lock goes with
		// the process, and one process may run every case.
		static const int turn = open((data_dir().parent_path().string() + ".lock").c_str(),
		                             O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
		ASSERT_TRUE(turn >= 0 && flock(turn, LOCK_EX) == 0) << "no turn at " << time_file;
		std::filesystem::remove_all(data_dir().parent_path());
		std::filesystem::create_directories(data_dir());
	}

	std::filesystem::path data_dir() const { return std::filesystem::path{time_file}.parent_path(); }
	std::string startup_line() const { return "vantrel: Maintaing " + time_file + " ...\n"; }
	std::string failure(const char *what, const std::string &reason) const
	{
		return std::string{"vantrel: "} + what + " " + time_file + ": " + reason + "\n";
	}
	// The file's content; nothing when it is missing or no regular file,
	// which a read could block on.
	std::string content() const
	{
		struct stat status {};
		if (lstat(time_file.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
			return {};
		return read_file(time_file).value_or("");
	}
	bool holds_record() const { return is_record(content()); }
	bool ticks() const
	{
		const std::string before = content();
		return eventually([&] { return holds_record() && content() != before; }, std::chrono::seconds{3});
	}
	Launch launch(std::vector<std::string> environment = {}, uid_t uid = 0) const
	{
		return {binary, std::move(environment), uid, {}};
	}
	// The daemon with `library` preloaded and set by `settings`.
	// AddressSanitizer wants to be the first preloaded library; it is told
	// not to mind.
	Launch preloading(const std::string &library, std::vector<std::string> settings) const
	{
		settings.push_back("LD_PRELOAD=" + library);
		settings.emplace_back("ASAN_OPTIONS=verify_asan_link_order=0");
		return launch(settings);
	}
	static bool has_libfaketime() { return !libfaketime.empty() && std::filesystem::exists(libfaketime); }

	inline static const std::string libfaketime = VANTREL_LIBFAKETIME;
	std::string binary = VANTREL_BINARY;
	std::string time_file = VANTREL_TEST_FILE;
};

#endif
