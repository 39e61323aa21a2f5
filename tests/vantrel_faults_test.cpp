// The built daemon on a file system that refuses it: permission denied, a
// read-only file system, a full disk; and on FUSE homes that lack unnamed
// files or hard links. Each case runs in a private mount namespace with a
// small tmpfs as the data directory, so it needs root.
#include "daemon.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Built into the daemon under test; it lives only inside the namespace.
const std::string time_file = VANTREL_NAMESPACE_TEST_FILE;
const fs::path data_dir = fs::path{time_file}.parent_path();
const fs::path binary = data_dir.parent_path() / "vantrel";
const std::string startup_line = startup_line_for(time_file);
const std::string again = "vantrel: writing " + time_file + " again\n";
constexpr uid_t nobody = 65534;

std::string content() { return read_file(time_file).value_or(""); }
bool holds_record() { return is_record(content()); }
bool ticks()
{
	const std::string before = content();
	return eventually([&] { return holds_record() && content() != before; }, 3s);
}

std::string failure(const char *what, int error)
{
	return std::string{"vantrel: "} + what + " " + time_file + ": " + std::strerror(error) + "\n";
}

// Writes to `path` until the file system has no byte left.
void fill(const fs::path &path)
{
	std::FILE *out = std::fopen(path.c_str(), "ab");
	ASSERT_NE(out, nullptr);
	std::setvbuf(out, nullptr, _IONBF, 0);
	const std::string block(4096, 'f');
	while (std::fwrite(block.data(), 1, block.size(), out) == block.size()) {
	}
	while (std::fputc('f', out) != EOF) {
	}
	EXPECT_EQ(errno, ENOSPC);
	std::fclose(out);
}

// Runs a shell command; its standard output, or nothing if it failed.
std::optional<std::string> run(const std::string &command)
{
	std::FILE *pipe = popen(command.c_str(), "r");
	if (pipe == nullptr)
		return std::nullopt;
	std::string output;
	char buffer[256];
	while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
		output += buffer;
	if (pclose(pipe) != 0)
		return std::nullopt;
	if (!output.empty() && output.back() == '\n')
		output.pop_back();
	return output;
}

int remount(unsigned long flags)
{
	return mount(nullptr, data_dir.c_str(), nullptr, MS_REMOUNT | flags, nullptr);
}

class Faults : public testing::Test {
protected:
	void SetUp() override
	{
		if (geteuid() != 0)
			GTEST_SKIP() << "needs root: mount namespaces, a tmpfs and another uid";
		// Everything mounted here is the test's own and gone when it ends.
		// Read before a fresh /tmp can hide a build tree under it.
		const auto daemon = read_file(VANTREL_NAMESPACE_BINARY);
		ASSERT_TRUE(daemon.has_value());
		if (unshare(CLONE_NEWNS) != 0) {
			if (errno == EPERM)
				GTEST_SKIP() << "root, but not allowed to make a mount namespace here";
			FAIL() << "unshare: " << std::strerror(errno);
		}
		ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
		// A fresh /tmp holds the daemon's directory and a copy of the daemon
		// that an unprivileged user can reach, wherever the build tree is.
		ASSERT_EQ(mount("vantrel-test", "/tmp", "tmpfs", 0, "mode=1777,size=64m"), 0);
		fs::create_directories(data_dir);
		ASSERT_EQ(mount("vantrel-test", data_dir.c_str(), "tmpfs", 0, "mode=0755,size=64k"), 0)
			<< std::strerror(errno);
		std::ofstream{binary, std::ios::binary} << *daemon;
		fs::permissions(binary, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
		                            fs::perms::others_read | fs::perms::others_exec);
	}
	void TearDown() override
	{
		if (geteuid() == 0) {
			umount2(data_dir.c_str(), MNT_DETACH);
			umount2("/tmp", MNT_DETACH);
		}
	}
};

// Each fault is said once, harms nothing, and is followed by one line when
// writing works again.
TEST_F(Faults, SaysEachOnceAndRecovers)
{
	const struct {
		const char *name;
		uid_t uid;
		std::function<void()> prepare; // before the daemon starts
		std::function<void()> cause;   // while it runs
		std::string message;
		std::function<void()> mend;
	} cases[] = {
		{"permission denied", nobody,
		 [] {
			 std::ofstream{time_file} << "00 1 1 0 0 0\n";
			 ASSERT_EQ(chmod(time_file.c_str(), 0644), 0);
		 },
		 [] {}, failure("open", EACCES),
		 [] { ASSERT_EQ(chown(time_file.c_str(), nobody, nobody), 0); }},
		{"read-only file system", 0, [] {},
		 [] {
			 ASSERT_TRUE(ticks());
			 ASSERT_TRUE(eventually([] { return remount(MS_RDONLY) == 0; }));
		 },
		 failure("open", EROFS),
		 [] { ASSERT_EQ(remount(0), 0); }},
		// Once the file is gone it can't be made again on a full disk, and
		// rather than leave it empty there is no file until there is room.
		{"full disk", 0, [] {},
		 [] {
			 ASSERT_TRUE(ticks());
			 fill(data_dir / "filler");
			 EXPECT_TRUE(ticks()) << "a full disk stopped the in-place rewrite";
			 ASSERT_TRUE(eventually([] {
				 fs::remove(time_file);
				 fill(data_dir / "filler");
				 return !fs::exists(time_file);
			 }));
		 },
		 failure("write", ENOSPC),
		 [] {
			 EXPECT_FALSE(fs::exists(time_file)) << "an unwritable file was left behind";
			 fs::remove(data_dir / "filler");
		 }},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		fs::remove(time_file);
		fs::remove(data_dir / "filler");
		c.prepare();
		Daemon daemon{{binary.string(), {}, c.uid, {}}};
		c.cause();
		const std::string before = content();
		std::string expected = startup_line + c.message;
		EXPECT_TRUE(eventually([&] { return daemon.errors() == expected; })) << daemon.errors();
		std::this_thread::sleep_for(2500ms); // a few ticks: no repeat
		EXPECT_EQ(daemon.errors(), expected);
		EXPECT_EQ(content(), before) << "the file changed while it could not be written";
		EXPECT_TRUE(before.empty() || is_record(before)) << before;

		c.mend();
		expected += again;
		EXPECT_TRUE(eventually([&] { return daemon.errors() == expected; })) << daemon.errors();
		EXPECT_TRUE(ticks());
		EXPECT_TRUE(daemon.running());
		EXPECT_EQ(daemon.output(), "");
	}
}

} // namespace

namespace {

// The data directory as a FUSE file system, mounted by a shell command and
// unmounted, which ends its daemon, when the test is done.
struct FuseHome {
	const char *name;
	const char *tool; // the test is skipped without it
	std::string mount, unmount;
	bool hard_links;
};

// Homes on FUSE file systems: bindfs, like most of them and like NFS, has
// hard links but no unnamed files; exFAT has neither. The file is deleted
// again and again while the daemon runs. A reader in a tight loop never
// meets it partial, nor, where there are hard links, empty; nothing but
// the file is ever left in the directory, and nothing is said.
TEST_F(Faults, FuseHomesNeverShowAPartialFile)
{
	const std::string backing = (data_dir.parent_path() / "backing").string();
	const std::string image = (data_dir.parent_path() / "exfat.img").string();
	const std::string dir = data_dir.string();
	const FuseHome homes[] = {
		{"bindfs", "/usr/bin/bindfs", "mkdir -p " + backing + " && bindfs " + backing + " " + dir,
		 "umount " + dir, true},
		{"exFAT", "/usr/sbin/mount.exfat-fuse",
		 "truncate -s 8M " + image + " && mkfs.exfat " + image + " >/dev/null && "
		 "device=$(losetup -f --show " + image + ") && mount.exfat-fuse $device " + dir +
		 " && echo $device",
		 "umount " + dir + " && losetup -d ", false},
	};
	for (const FuseHome &home : homes)
		if (!fs::exists(home.tool) || !fs::exists("/dev/fuse"))
			GTEST_SKIP() << "needs /dev/fuse and " << home.tool
			             << " (Debian: bindfs, exfat-fuse, exfatprogs)";
	for (const FuseHome &home : homes) {
		SCOPED_TRACE(home.name);
		const auto mounted = run(home.mount);
		ASSERT_TRUE(mounted.has_value()) << home.mount;
		const std::string unmount = home.unmount + *mounted;
		{
			Daemon daemon{{binary.string(), {}, 0, {}}};
			ASSERT_TRUE(eventually(holds_record));

			std::atomic<bool> done{false};
			long reads = 0, missing = 0, empty = 0, partial = 0;
			std::string example;
			std::thread reader{[&] {
				while (!done) {
					const auto read = read_file(time_file);
					++reads;
					if (!read)
						++missing;
					else if (read->empty())
						++empty;
					else if (!reader_safe(*read)) {
						++partial;
						example = *read;
					}
				}
			}};
			for (int i = 0; i < 24; ++i) {
				fs::remove(time_file);
				EXPECT_TRUE(eventually(holds_record, 3s)) << "not made again, round " << i;
			}
			done = true;
			reader.join();

			EXPECT_EQ(partial, 0) << "of " << reads << " reads, one: \"" << example << '"';
			if (home.hard_links) {
				EXPECT_EQ(empty, 0) << "of " << reads << " reads";
			}
			EXPECT_GT(missing, 0) << "the reader never saw the file gone: it read too little";
			std::vector<std::string> names;
			for (const auto &entry : fs::directory_iterator{data_dir})
				names.push_back(entry.path().filename().string());
			EXPECT_EQ(names, std::vector<std::string>{"curtime.dat"});
			EXPECT_EQ(daemon.errors(), startup_line);
			std::cout << "[ " << home.name << " ] " << reads << " reads: " << missing
			          << " missing, " << empty << " empty, " << partial << " partial\n";
		}
		EXPECT_TRUE(run(unmount).has_value()) << unmount;
	}
}

} // namespace
