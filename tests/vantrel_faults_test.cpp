// The built daemon, driven from the outside as its users meet it, where
// its file can't be written, its clock read or its sleep had; on FUSE
// homes; and when the power is cut. As root, each case runs in a private
// mount namespace with a small tmpfs as the data directory; for anyone
// else, the cases that need that are skipped.
#include "daemon.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include <fcntl.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr uid_t nobody = 65534;

using VantrelTest = DaemonTest;

// How many writes the process `pid` makes in `span`, as the kernel counts them.
long writes_within(pid_t pid, std::chrono::milliseconds span)
{
	const auto count = [&] {
		const std::string io = read_file("/proc/" + std::to_string(pid) + "/io").value_or("");
		const auto at = io.find("syscw: ");
		return at == std::string::npos ? -1000 : std::stol(io.substr(at + 7));
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

// Runs a shell command; its standard output, or nothing if it failed.
std::optional<std::string> run(const std::string &command)
{
	std::FILE *pipe = popen(command.c_str(), "r");
	std::string output;
	for (char buffer[256]; pipe != nullptr && std::fgets(buffer, sizeof buffer, pipe) != nullptr;)
		output += buffer;
	if (pipe == nullptr || pclose(pipe) != 0)
		return std::nullopt;
	if (!output.empty() && output.back() == '\n')
		output.pop_back();
	return output;
}

// Writes to `path` until the file system has no block left.
void fill(const fs::path &path)
{
	(void)run("cat /dev/zero >>" + path.string() + " 2>/dev/null");
	struct statvfs status {};
	EXPECT_TRUE(statvfs(path.parent_path().c_str(), &status) == 0 && status.f_bavail == 0);
}

class Faults : public DaemonTest {
protected:
	void SetUp() override
	{
		if (geteuid() != 0)
			return DaemonTest::SetUp();
		// Read before a fresh /tmp can hide a build tree under it.
		const auto daemon = read_file(VANTREL_NAMESPACE_BINARY);
		const auto refuser = read_file(clock_refuser);
		ASSERT_TRUE(daemon.has_value() && refuser.has_value());
		if (unshare(CLONE_NEWNS) != 0) {
			ASSERT_EQ(errno, EPERM) << std::strerror(errno);
			return DaemonTest::SetUp(); // root, but not allowed a mount namespace here
		}
		// Everything mounted here is the test's own and gone when it ends.
		// A fresh /tmp holds the daemon's directory and a copy of the daemon
		// and what it preloads, that an unprivileged user can reach, wherever
		// the build tree is.
		in_namespace = true;
		time_file = VANTREL_NAMESPACE_TEST_FILE;
		binary = (data_dir().parent_path() / "vantrel").string();
		clock_refuser = (data_dir().parent_path() / "clock_refuser.so").string();
		ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
		ASSERT_EQ(mount("vantrel-test", "/tmp", "tmpfs", 0, "mode=1777,size=128m"), 0);
		make_data_dir();
		for (const auto &[path, bytes] : {std::pair{binary, *daemon}, std::pair{clock_refuser, *refuser}}) {
			std::ofstream{path, std::ios::binary} << bytes;
			fs::permissions(path, fs::perms{0755});
		}
	}
	void TearDown() override
	{
		if (in_namespace) {
			umount2(data_dir().c_str(), MNT_DETACH);
			umount2("/tmp", MNT_DETACH);
		}
	}

	// In the namespace the data directory is a tmpfs of 64 KiB.
	void make_data_dir() const
	{
		fs::create_directories(data_dir());
		if (in_namespace) {
			ASSERT_EQ(mount("vantrel-test", data_dir().c_str(), "tmpfs", 0, "mode=0755,size=64k"), 0)
				<< std::strerror(errno);
		}
	}
	int remount(unsigned long flags) const
	{
		return mount(nullptr, data_dir().c_str(), nullptr, MS_REMOUNT | flags, nullptr);
	}
	// Puts something else at the file's name while the daemon may be
	// making the file again.
	void replace_file(const std::function<int()> &make) const
	{
		ASSERT_TRUE(eventually([&] {
			std::error_code ignored;
			fs::remove(time_file, ignored);
			return make() == 0;
		}));
	}

	bool in_namespace = false;
	std::string clock_refuser = VANTREL_CLOCK_REFUSER;
};

// Each fault is said once, harms nothing, and is followed by one line when
// it is over; then the file is current again.
TEST_F(Faults, SaysEachOnceAndRecovers)
{
	const std::string victim = (data_dir() / "victim").string();
	const fs::path clock_refused = data_dir().parent_path() / "clock-refused";
	const fs::path filler = data_dir() / "filler";
	int reader = -1;
	const struct {
		const char *name;
		bool needs_root; // a mount namespace of its own, or another user
		std::function<void()> prepare; // before the daemon starts
		std::function<void()> cause;   // while it runs
		std::string message;
		std::function<void()> mend;
		std::string mended = {}; // when not "writing ... again"
		std::optional<Launch> how = {}; // when not as the test runs
	} cases[] = {
		{"missing directory", false, [&] {
			 ASSERT_TRUE(!in_namespace || umount2(data_dir().c_str(), MNT_DETACH) == 0);
			 fs::remove_all(data_dir());
		 }, [] {},
		 failure("open", std::strerror(ENOENT)), [&] { make_data_dir(); }},
		{"FIFO", false, [] {}, [&] { replace_file([&] { return mkfifo(time_file.c_str(), 0666); }); },
		 failure("open", "not a regular file"), [&] { fs::remove(time_file); }},
		// Never written to, even with a reader waiting.
		{"FIFO with a reader", false, [] {},
		 [&] {
			 replace_file([&] { return mkfifo(time_file.c_str(), 0666); });
			 reader = open(time_file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
			 ASSERT_GE(reader, 0);
		 },
		 failure("open", "not a regular file"),
		 [&] {
			 char byte;
			 EXPECT_LE(read(reader, &byte, 1), 0) << "the reader got a byte";
			 close(reader);
			 fs::remove(time_file);
		 }},
		{"symbolic link", false, [] {},
		 [&] {
			 std::ofstream{victim} << "keep me\n";
			 replace_file([&] { return symlink(victim.c_str(), time_file.c_str()); });
		 },
		 failure("open", "symbolic link, not followed"),
		 [&] {
			 EXPECT_EQ(read_file(victim), "keep me\n");
			 fs::remove(victim);
			 fs::remove(time_file);
		 }},
		{"dangling symbolic link", false, [] {},
		 [&] { replace_file([&] { return symlink(victim.c_str(), time_file.c_str()); }); },
		 failure("open", "symbolic link, not followed"),
		 [&] {
			 EXPECT_FALSE(fs::exists(victim)) << "made through the link";
			 fs::remove(time_file);
		 }},
		{"directory", false, [] {}, [&] { replace_file([&] { return mkdir(time_file.c_str(), 0755); }); },
		 failure("open", std::strerror(EISDIR)), [&] { fs::remove(time_file); }},
		{"permission denied", true,
		 [&] {
			 std::ofstream{time_file} << "00 1 1 0 0 0\n";
			 ASSERT_EQ(chmod(time_file.c_str(), 0644), 0);
		 },
		 [] {}, failure("open", std::strerror(EACCES)),
		 [&] { ASSERT_EQ(chown(time_file.c_str(), nobody, nobody), 0); }, {}, launch({}, nobody)},
		{"read-only file system", true, [] {},
		 [&] {
			 ASSERT_TRUE(ticks());
			 ASSERT_TRUE(eventually([&] { return remount(MS_RDONLY) == 0; }));
		 },
		 failure("open", std::strerror(EROFS)), [&] { ASSERT_EQ(remount(0), 0); }},
		// Once the file is gone it can't be made again on a full disk, and
		// rather than leave it empty there is no file until there is room.
		{"full disk", true, [] {},
		 [&] {
			 ASSERT_TRUE(ticks());
			 fill(filler);
			 EXPECT_TRUE(ticks()) << "a full disk stopped the in-place rewrite";
			 ASSERT_TRUE(eventually([&] {
				 fs::remove(time_file);
				 fill(filler);
				 return !fs::exists(time_file);
			 }));
		 },
		 failure("write", std::strerror(ENOSPC)),
		 [&] {
			 EXPECT_FALSE(fs::exists(time_file)) << "an unwritable file was left behind";
			 fs::remove(filler);
		 }},
		// Refused from the start: no tick may write a record of no clock.
		{"clock refused", false, [&] { std::ofstream{clock_refused}; }, [] {},
		 std::string{"vantrel: clock: "} + std::strerror(EPERM) + "\n", [&] { fs::remove(clock_refused); },
		 "vantrel: clock works again\n",
		 preloading(clock_refuser, {"VANTREL_REFUSE_CLOCK=" + clock_refused.string()})},
	};
	std::vector<std::string> skipped;
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		if (c.needs_root && !in_namespace) {
			skipped.emplace_back(c.name);
			continue;
		}
		fs::remove(time_file);
		fs::remove(filler);
		c.prepare();
		Daemon daemon{c.how.value_or(launch())};
		c.cause();
		const std::string before = content();
		std::string expected = startup_line() + c.message;
		EXPECT_TRUE(eventually([&] { return daemon.errors() == expected; })) << daemon.errors();
		std::this_thread::sleep_for(1500ms); // another tick: no repeat
		EXPECT_EQ(daemon.errors(), expected);
		EXPECT_EQ(content(), before) << "the file changed while it could not be written";
		EXPECT_TRUE(before.empty() || is_record(before)) << before;

		c.mend();
		expected += c.mended.empty() ? "vantrel: writing " + time_file + " again\n" : c.mended;
		EXPECT_TRUE(eventually([&] { return daemon.errors() == expected; })) << daemon.errors();
		EXPECT_TRUE(ticks());
		EXPECT_LE(std::labs(age_of(content())), 2) << content();
		EXPECT_TRUE(daemon.running());
	}
	if (!skipped.empty())
		GTEST_SKIP() << "the other cases passed; these need root and a mount namespace: "
		             << testing::PrintToString(skipped);
}

// The data directory as it is, and on FUSE file systems, each mounted by a
// shell command and unmounted, which ends the FUSE daemon, when the test is
// done: bindfs, like most of them and like NFS, has hard links but no
// unnamed files; exFAT has neither. A foreign file there is taken over in the same inode with the
// same mode, and ticks; then it is deleted again and again while the
// daemon runs. A reader in a tight loop never meets it partial, nor, where
// there are hard links, empty, nor missing but after a deletion; nothing
// but the file is ever left in the directory, and nothing is said.
TEST_F(Faults, HomesKeepOneWholeRecord)
{
	const std::string backing = (data_dir().parent_path() / "backing").string();
	const std::string image = (data_dir().parent_path() / "exfat.img").string();
	const std::string dir = data_dir().string();
	std::vector<std::string> skipped;
	const struct {
		const char *name;
		const char *tool; // the home is skipped without it; none: needs nothing
		std::string mount, unmount;
		bool hard_links;
	} homes[] = {
		{"the data directory", nullptr, "true", "true", true},
		{"bindfs", "/usr/bin/bindfs", "mkdir -p " + backing + " && bindfs " + backing + " " + dir,
		 "umount " + dir, true},
		{"exFAT", "/usr/sbin/mount.exfat-fuse",
		 "truncate -s 8M " + image + " && mkfs.exfat " + image + " >/dev/null && "
		 "device=$(losetup -f --show " + image + ") && mount.exfat-fuse $device " + dir +
		 " && echo $device",
		 "umount " + dir + " && losetup -d ", false},
	};
	for (const auto &home : homes) {
		SCOPED_TRACE(home.name);
		if (home.tool != nullptr && (!in_namespace || !fs::exists(home.tool) || !fs::exists("/dev/fuse"))) {
			skipped.push_back(std::string{home.name} + ": needs root, /dev/fuse and " + home.tool);
			continue;
		}
		const auto mounted = run(home.mount);
		ASSERT_TRUE(mounted.has_value()) << home.mount;
		const std::string unmount = home.unmount + *mounted;
		{
			std::ofstream{time_file} << std::string(30'000, 'x') << "\n";
			(void)chmod(time_file.c_str(), 0640); // exFAT keeps no modes
			struct stat before {}, after {};
			ASSERT_EQ(stat(time_file.c_str(), &before), 0);
			Daemon daemon{launch()};
			ASSERT_TRUE(eventually([&] { return holds_record(); })) << content().substr(0, 40);
			EXPECT_LE(std::labs(age_of(content())), 2) << content();
			const auto end = std::chrono::steady_clock::now() + 3500ms;
			Tally tally = read_tightly(time_file, [&](const Tally &) { return std::chrono::steady_clock::now() >= end; });
			EXPECT_EQ(tally.missing + tally.empty + tally.partial, 0) << tally;
			EXPECT_GE(tally.records.size(), 2u) << "the file did not tick";
			ASSERT_EQ(stat(time_file.c_str(), &after), 0);
			EXPECT_EQ(after.st_ino, before.st_ino);
			EXPECT_EQ(after.st_mode, before.st_mode);

			std::atomic<bool> done{false};
			std::thread reader{[&] { tally = read_tightly(time_file, [&](const Tally &) { return done.load(); }); }};
			for (int i = 0; i < 24; ++i) {
				fs::remove(time_file);
				EXPECT_TRUE(eventually([&] { return holds_record(); }, 3s)) << "not made again, round " << i;
			}
			done = true;
			reader.join();

			EXPECT_EQ(tally.partial, 0) << tally;
			if (home.hard_links) {
				EXPECT_EQ(tally.empty, 0) << tally;
			}
			EXPECT_GT(tally.missing, 0) << "the reader never saw the file gone: it read too little";
			EXPECT_EQ(names_in(data_dir()), std::vector<std::string>{"curtime.dat"});
			EXPECT_TRUE(daemon.running());
			EXPECT_EQ(daemon.errors(), startup_line()) << "and nothing on standard output";
			std::cout << "[ " << home.name << " ] " << tally << "\n";
		}
		fs::remove(time_file); // the next home mounts over an empty directory
		EXPECT_TRUE(run(unmount).has_value()) << unmount;
	}
	if (!skipped.empty())
		GTEST_SKIP() << "the other homes passed; skipped " << testing::PrintToString(skipped)
		             << " (Debian: bindfs, exfat-fuse, exfatprogs)";
}

// The power cut as xfstests makes one: ext4, its journal committed every
// second, and XFS, each on a loop device, shut down without flushing the
// journal, then mounted again. The daemon starts under a faked clock just
// before each moment; the file is synced first where the moment is not its
// creation. The cut comes 2 s later, or at once where the file's page is
// first written back from outside as the daemon sleeps after a shrink,
// which can put the page on disk ahead of the journal. Whenever the cut
// comes, the file holds a whole record, perhaps an older one, and nothing
// after it but line feeds. Without root it skips before waiting its turn.
struct FaultsInNamespace : Faults { void SetUp() override { if (geteuid() == 0) Faults::SetUp(); } };
TEST_F(FaultsInNamespace, PowerCutLeavesAWholeRecord)
{
	if (!in_namespace || !has_libfaketime())
		GTEST_SKIP() << "needs root, a mount namespace of its own and libfaketime";
	const std::string image = (data_dir().parent_path() / "disk.img").string();
	const std::time_t minute = 1796854860; // 2026-12-09 22:21:00
	const struct {
		const char *name;
		std::time_t start; // the faked clock when the daemon starts
		std::string after; // the record after which the cut comes
		bool written_back = false; // the cut then comes at once, not 2 s later
	} cuts[] = {
		{"after the file was created", minute + 3, ""},
		{"after the record grew", minute + 7, "26 12 9 22 21 10\n"},
		{"after the record shrank", minute + 58, "26 12 9 22 22 0\n"},
		{"as it sleeps after a shrink, the page written back", minute + 58, "26 12 9 22 22 0\n", true},
		{"in steady seconds", minute + 20, "26 12 9 22 21 23\n"},
	};
	const struct { const char *name, *mkfs, *options; } systems[] = {
		{"ext4", "mkfs.ext4", "loop,commit=1"}, {"XFS", "mkfs.xfs", "loop"}};
	for (const auto &system : systems)
		for (const auto &cut : cuts) {
			if (!run(std::string{"command -v "} + system.mkfs))
				GTEST_SKIP() << "the file systems before passed; needs " << system.mkfs
				             << " (Debian: e2fsprogs, xfsprogs)";
			SCOPED_TRACE(std::string{system.name} + ", " + cut.name);
			// A loop device that mount sets up goes again with the last unmount.
			const std::string mount = std::string{"mount -o "} + system.options + " " + image + " " + data_dir().string();
			if (!run("rm -f " + image + " && truncate -s 300M " + image + " && " + system.mkfs + " -q " + image +
			         " && " + mount))
				GTEST_SKIP() << "needs loop devices and " << system.name << " in the kernel";
			{
				Daemon daemon{preloading(libfaketime, {"FAKETIME_FMT=%s", "FAKETIME=@" + std::to_string(cut.start)})};
				const std::string syscall = "/proc/" + std::to_string(daemon.pid()) + "/syscall";
				ASSERT_TRUE(eventually([&] { return holds_record(); }));
				const int dir = open(data_dir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
				ASSERT_GE(dir, 0) << std::strerror(errno);
				if (!cut.after.empty()) {
					EXPECT_EQ(syncfs(dir), 0) << std::strerror(errno);
					// Asleep, the daemon has done all it does after the shrink.
					EXPECT_TRUE(eventually([&] {
						return content() == cut.after && (!cut.written_back || read_file(syscall).value_or("").starts_with(
						                                                           std::to_string(SYS_clock_nanosleep) + " "));
					})) << content();
				}
				if (cut.written_back) {
					const int file = open(time_file.c_str(), O_RDONLY | O_CLOEXEC);
					EXPECT_EQ(sync_file_range(file, 0, 0, SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
					                                          SYNC_FILE_RANGE_WAIT_AFTER), 0) << std::strerror(errno);
					close(file);
				} else
					std::this_thread::sleep_for(2s);
				std::uint32_t no_journal_flush = 2;
				EXPECT_EQ(ioctl(dir, 0x8004587D /* EXT4_IOC_SHUTDOWN, XFS_IOC_GOINGDOWN */, &no_journal_flush), 0)
					<< std::strerror(errno);
				close(dir);
			}
			ASSERT_EQ(umount(data_dir().c_str()), 0) << std::strerror(errno);
			ASSERT_TRUE(run(mount).has_value()) << mount;
			const auto left = read_file(time_file);
			std::cout << "[ " << system.name << ", " << cut.name << " ] "
			          << testing::PrintToString(left.value_or("no file")) << "\n";
			EXPECT_TRUE(left.has_value() && reader_safe(*left));
			EXPECT_EQ(umount(data_dir().c_str()), 0) << std::strerror(errno);
		}
}

} // namespace
