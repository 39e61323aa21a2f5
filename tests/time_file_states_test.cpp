// Every state of the time file that a reader can meet while it is being
// rewritten or created. The test executable is linked with --wrap for the
// calls that open, write, sync, cut, close and link files, so each call is
// seen before and after it runs, and each write also in the middle: its
// bytes in place but the file not yet grown, which is how the kernel lands
// a write that extends a file. The order of writes, syncs, links and cuts
// is checked against what a power cut could leave on disk. Any one of
// those calls can be made to fail, and the file system made to lack
// unnamed files or hard links, as NFS, FUSE and vfat do.
#include "time_file.h"
#include "time_record.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// What the wrappers saw during one call of write_time_file: cleared before
// each.
struct Seen {
	std::vector<std::string> states; // "<missing>" where there was no file
	std::size_t bytes_written = 0;
	std::size_t steps = 0; // every call counted
	std::string failed; // the name of the call that failed
	// Written, grown or cut, or a name made, but not yet synced; what a
	// power cut could therefore have left on disk, in the order it was seen.
	bool unsynced = false, resized = false, new_name = false;
	std::vector<std::string> disorder;
};

// The same, and what the wrappers do to the call.
struct Observer : Seen {
	std::string path;
	bool no_unnamed_files = false, no_hard_links = false;
	std::string appears; // put at the path just before a link, when not empty
	std::size_t fail_at = 0; // the call that fails

	// Counts a call and says whether it is to fail, setting errno if so.
	bool fails(const char *call)
	{
		if (++steps != fail_at)
			return false;
		failed = call;
		errno = EDQUOT; // as a full quota says, at write or, on NFS, at close
		return true;
	}

	// Leaves errno as the observed call set it. A sparse file of gibibytes
	// is not read.
	void look()
	{
		const int error = errno;
		struct stat status {};
		const bool large = stat(path.c_str(), &status) == 0 && status.st_size > (1 << 21);
		states.push_back(large ? "<large>" : read_file(path).value_or("<missing>"));
		errno = error;
	}
	void look_inside_write(int fd, const void *data, std::size_t size, off_t offset)
	{
		struct stat written {}, named {};
		if (fstat(fd, &written) != 0 || stat(path.c_str(), &named) != 0 ||
		    written.st_ino != named.st_ino || written.st_size > (1 << 21))
			return; // not yet the file at the path: readers still see the old state
		std::string content = read_file(path).value_or("");
		const std::size_t old_size = content.size();
		const auto end = static_cast<std::size_t>(offset) + size;
		content.resize(std::max(content.size(), end), '\0');
		content.replace(static_cast<std::size_t>(offset), size, static_cast<const char *>(data), size);
		content.resize(old_size);
		states.push_back(content);
	}
};

Observer *observer = nullptr;

// Where off_t is made 64 bits wide (armhf, i386), the calls are named
// pwrite64 and ftruncate64; both names are wrapped.
template <typename Offset, typename Write>
ssize_t observed_pwrite(int fd, const void *data, std::size_t size, Offset offset, Write real)
{
	if (observer == nullptr)
		return real(fd, data, size, offset);
	if (observer->fails("write"))
		return -1;
	if (observer->resized)
		observer->disorder.push_back("a write after a growth not yet synced");
	struct stat status {};
	const bool grows = fstat(fd, &status) == 0 && offset + static_cast<Offset>(size) > status.st_size;
	observer->bytes_written += size;
	observer->look();
	observer->look_inside_write(fd, data, size, static_cast<off_t>(offset));
	const ssize_t written = real(fd, data, size, offset);
	observer->unsynced = true;
	observer->resized = observer->resized || grows;
	observer->look();
	return written;
}

template <typename Offset, typename Truncate>
int observed_ftruncate(int fd, Offset length, Truncate real)
{
	if (observer == nullptr)
		return real(fd, length);
	if (observer->fails("truncate"))
		return -1;
	if (observer->unsynced)
		observer->disorder.push_back("a cut before the bytes above it were synced");
	observer->look();
	const int result = real(fd, length);
	observer->resized = observer->resized || result == 0;
	observer->look();
	return result;
}

template <typename Open>
int observed_open(const char *path, int flags, std::va_list arguments, Open real)
{
	// The mode is there only where a file may be created.
	const mode_t mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE
	                          ? static_cast<mode_t>(va_arg(arguments, int))
	                          : 0;
	if (observer != nullptr) {
		if ((flags & O_TMPFILE) == O_TMPFILE && observer->no_unnamed_files) {
			errno = EOPNOTSUPP;
			return -1;
		}
		if (observer->fails("open"))
			return -1;
	}
	const int fd = real(path, flags, mode);
	if (observer != nullptr) {
		observer->new_name = observer->new_name || (fd >= 0 && (flags & O_CREAT) != 0 && path == observer->path);
		observer->look();
	}
	return fd;
}

// Links as link() and linkat() do, after letting another file take the name
// if the test asks for it.
template <typename Link>
int observed_link(Link real)
{
	if (observer == nullptr)
		return real();
	if (observer->no_hard_links) {
		errno = EPERM; // what vfat says
		return -1;
	}
	if (observer->fails("link"))
		return -1;
	if (observer->unsynced)
		observer->disorder.push_back("a link to bytes not yet synced");
	if (!observer->appears.empty())
		std::ofstream{observer->path, std::ios::binary} << observer->appears;
	const int result = real();
	observer->new_name = observer->new_name || result == 0;
	observer->look();
	return result;
}

} // namespace

extern "C" {
int __real_open(const char *path, int flags, ...);
int __real_open64(const char *path, int flags, ...);
int __real_close(int fd);
int __real_link(const char *from, const char *to);
int __real_linkat(int from_dir, const char *from, int to_dir, const char *to, int flags);

int __wrap_open(const char *path, int flags, ...)
{
	std::va_list arguments;
	va_start(arguments, flags);
	const int fd = observed_open(path, flags, arguments, __real_open);
	va_end(arguments);
	return fd;
}
int __wrap_open64(const char *path, int flags, ...)
{
	std::va_list arguments;
	va_start(arguments, flags);
	const int fd = observed_open(path, flags, arguments, __real_open64);
	va_end(arguments);
	return fd;
}
// As NFS can: the descriptor is gone, but the close reports a failure.
int __wrap_close(int fd)
{
	const int result = __real_close(fd);
	return observer != nullptr && observer->fails("close") ? -1 : result;
}
// A sync of the file, or of its directory once it is named.
int observed_sync(int fd, int (*real)(int))
{
	struct stat status {};
	if (observer == nullptr)
		return real(fd);
	const bool directory = fstat(fd, &status) == 0 && S_ISDIR(status.st_mode);
	if (observer->fails(directory ? "directory sync" : "sync"))
		return -1;
	const int result = real(fd);
	if (result == 0 && directory)
		observer->new_name = false;
	else if (result == 0)
		observer->unsynced = observer->resized = false;
	return result;
}
int __real_fsync(int fd);
int __real_fdatasync(int fd);
int __wrap_fsync(int fd) { return observed_sync(fd, __real_fsync); }
int __wrap_fdatasync(int fd) { return observed_sync(fd, __real_fdatasync); }
int __wrap_link(const char *from, const char *to)
{
	return observed_link([&] { return __real_link(from, to); });
}
int __wrap_linkat(int from_dir, const char *from, int to_dir, const char *to, int flags)
{
	return observed_link([&] { return __real_linkat(from_dir, from, to_dir, to, flags); });
}

ssize_t __real_pwrite(int fd, const void *data, std::size_t size, off_t offset);
ssize_t __real_pwrite64(int fd, const void *data, std::size_t size, off64_t offset);
int __real_ftruncate(int fd, off_t length);
int __real_ftruncate64(int fd, off64_t length);

ssize_t __wrap_pwrite(int fd, const void *data, std::size_t size, off_t offset)
{
	return observed_pwrite(fd, data, size, offset, __real_pwrite);
}
ssize_t __wrap_pwrite64(int fd, const void *data, std::size_t size, off64_t offset)
{
	return observed_pwrite(fd, data, size, offset, __real_pwrite64);
}
int __wrap_ftruncate(int fd, off_t length) { return observed_ftruncate(fd, length, __real_ftruncate); }
int __wrap_ftruncate64(int fd, off64_t length)
{
	return observed_ftruncate(fd, length, __real_ftruncate64);
}
}

namespace {

class TimeFileStates : public testing::Test {
protected:
	void SetUp() override
	{
		char name[] = "/tmp/vantrel-test-XXXXXX";
		ASSERT_NE(mkdtemp(name), nullptr) << std::strerror(errno);
		dir = name;
		watching.path = (dir / "curtime.dat").string();
		old_mask = umask(022);
	}
	void TearDown() override
	{
		observer = nullptr;
		umask(old_mask);
		fs::remove_all(dir);
	}

	// Writes `record` over the file holding `before` (none: no file; made
	// sparse to `size` when that is larger), watching every call and
	// failing the `fail_at`th.
	Outcome attempt(const std::string *before, const std::string &record, std::size_t fail_at = 0,
	                off_t size = 0)
	{
		std::error_code ignored;
		fs::remove(watching.path, ignored);
		if (before != nullptr) {
			std::ofstream{watching.path, std::ios::binary} << *before;
			const auto length = static_cast<std::uintmax_t>(std::max(size, static_cast<off_t>(before->size())));
			fs::resize_file(watching.path, length);
			fs::permissions(watching.path, fs::perms{0604});
			stat(watching.path.c_str(), &old_status);
		}
		static_cast<Seen &>(watching) = {};
		watching.fail_at = fail_at;
		observer = &watching;
		const Outcome result = write_time_file(watching.path.c_str(), record);
		observer = nullptr;
		if (result.ok() && (watching.resized || watching.new_name))
			watching.disorder.push_back(watching.resized ? "a new length left unsynced" : "a new name left unsynced");
		return result;
	}
	// The same, where nothing fails: the file ends up holding the record
	// alone, rewritten in place, in the same inode with the same mode, or
	// created with the mode the umask leaves; and in an order that a power
	// cut can't catch half done.
	void rewrite(const std::string *before, const std::string &record, off_t size = 0)
	{
		const Outcome result = attempt(before, record, 0, size);
		ASSERT_TRUE(result.ok()) << "fault " << static_cast<int>(result.fault) << ": "
		                         << std::strerror(result.error);
		struct stat status {};
		ASSERT_EQ(stat(watching.path.c_str(), &status), 0);
		ASSERT_EQ(status.st_size, static_cast<off_t>(record.size())); // never read 4 GiB
		ASSERT_EQ(read_file(watching.path), record);
		ASSERT_GT(watching.steps, 0u) << "the wrappers saw nothing";
		EXPECT_EQ(status.st_mode & 07777, before != nullptr ? 0604u : 0644u);
		EXPECT_TRUE(before == nullptr || status.st_ino == old_status.st_ino) << "not rewritten in place";
		EXPECT_EQ(watching.disorder, std::vector<std::string>{});
	}

	fs::path dir;
	Observer watching;
	mode_t old_mask = 0;
	struct stat old_status {};
};

// Every length a record can have, and the rollovers where it shrinks most.
TEST_F(TimeFileStates, ReaderMeetsOnlyARecordAndLineFeeds)
{
	const std::vector<std::string> records = {
		"00 1 1 0 0 0\n",     "26 12 8 0 0 9\n",     "26 12 8 0 0 10\n",  "26 12 8 21 59 59\n",
		"26 12 8 22 0 0\n",   "26 12 31 23 59 59\n", "27 1 1 0 0 0\n",    "00 1 10 10 10 10\n",
		"99 12 31 23 59 59\n", "00 1 1 10 10 10\n",  "00 1 1 0 10 10\n",
	};
	for (const std::string &before : records) {
		for (const std::string &record : records) {
			SCOPED_TRACE("from " + before + "to " + record);
			rewrite(&before, record);
			for (const std::string &state : watching.states)
				EXPECT_TRUE(reader_safe(state)) << '"' << state << '"';
		}
	}
}

// Foreign content is cut, not blanked: never megabytes of line feeds. A
// file of 4 GiB and 15 bytes must not pass for a 15-byte record where
// size_t is 32 bits wide (armhf).
TEST_F(TimeFileStates, ForeignContentIsCutNotBlanked)
{
	const struct {
		const char *name;
		std::string content;
		off_t size = 0; // made sparse to this size when larger
	} previous[] = {
		{"empty", ""},
		{"a megabyte", std::string(1 << 20, 'x')},
		{"no line feed", "no line feed"},
		{"beyond four gibibytes", "", (off_t{1} << 32) + 15},
	};
	for (const auto &before : previous) {
		SCOPED_TRACE(before.name);
		rewrite(&before.content, "26 12 8 22 0 0\n", before.size);
		EXPECT_LE(watching.bytes_written, longest_record);
	}
}

// An empty record would leave the file empty: it is refused, and neither a
// missing file nor an existing one is touched.
TEST_F(TimeFileStates, RefusesAnEmptyRecord)
{
	const std::string before = "26 12 8 0 0 9\n";
	EXPECT_EQ(attempt(nullptr, ""), (Outcome{Fault::write, EINVAL}));
	EXPECT_FALSE(fs::exists(watching.path));
	EXPECT_EQ(attempt(&before, ""), (Outcome{Fault::write, EINVAL}));
	EXPECT_EQ(read_file(watching.path), before);
}

// The three ways a missing file is made, as the file system allows. Let any
// one call fail, in turn: a reader never meets the file empty or partial
// (but for the last resort, without hard links, while it is written), the
// file ends up whole or not there, and nothing else stays in the directory.
TEST_F(TimeFileStates, CreationFailingAtAnyCallLeavesNoEmptyFile)
{
	const std::string record = "26 12 8 22 0 0\n";
	const struct {
		const char *name;
		bool no_unnamed_files, no_hard_links;
	} ways[] = {
		{"an unnamed file, linked", false, false},
		{"a temporary, linked (NFS, FUSE)", true, false},
		{"by name (vfat, exFAT)", true, true},
	};
	for (const auto &way : ways) {
		std::size_t steps = 0; // counted by the run where nothing fails
		for (std::size_t fail_at = 0; fail_at == 0 || fail_at <= steps; ++fail_at) {
			SCOPED_TRACE(std::string{way.name} + ", failing call " + std::to_string(fail_at));
			watching.no_unnamed_files = way.no_unnamed_files;
			watching.no_hard_links = way.no_hard_links;
			const Outcome result = attempt(nullptr, record, fail_at);
			if (fail_at == 0) {
				steps = watching.steps;
				ASSERT_TRUE(result.ok());
				ASSERT_GE(steps, 3u) << "the wrappers saw too little";
			}

			const auto content = read_file(watching.path);
			if (result.ok())
				EXPECT_EQ(content, record);
			else
				EXPECT_EQ(result.error, EDQUOT);
			// A record that may not have reached the disk (NFS reports at
			// close) is never given the name; nor, after a failed write or
			// sync, is it there at all. A failed sync of the directory
			// leaves the file, named, whole and reported.
			if (watching.failed.find("sync") != std::string::npos || watching.failed == "write" ||
			    watching.failed == "close") {
				EXPECT_FALSE(result.ok()) << "a failed " << watching.failed << " was published";
			}
			if (watching.failed == "sync" || watching.failed == "write") {
				EXPECT_FALSE(content.has_value()) << "a failed " << watching.failed << " left a file";
			}
			EXPECT_EQ(watching.disorder, std::vector<std::string>{});
			EXPECT_TRUE(!content.has_value() || *content == record) << *content;
			for (const std::string &state : watching.states)
				EXPECT_TRUE(state == "<missing>" || reader_safe(state) ||
				            (way.no_hard_links && state.empty()))
					<< '"' << state << '"';
			const auto names = names_in(dir);
			EXPECT_TRUE(names.empty() || names == std::vector<std::string>{"curtime.dat"})
				<< names.size() << " names, the first " << names.front();
		}
	}
}

// Something stands in the way of a creation: another file takes the name
// before the link (that one is rewritten in place), a crash left the
// temporary behind (it is cleared), or something that can't be cleared
// holds the temporary's name (the file is created by name instead).
TEST_F(TimeFileStates, WhatStandsInTheWayIsClearedOrGoneAround)
{
	const fs::path temporary = dir / ".curtime.dat.tmp";
	const struct {
		const char *name;
		bool no_unnamed_files;
		std::string appears;
		std::function<void()> leave;
		std::vector<std::string> entries;
	} cases[] = {
		{"a file appears before the unnamed file's link", false, "26 12 8 21 59 59\n", [] {},
		 {"curtime.dat"}},
		{"a file appears before the temporary's link", true, "26 12 8 21 59 59\n", [] {},
		 {"curtime.dat"}},
		{"a crash left the temporary", true, "",
		 [&] { std::ofstream{temporary, std::ios::binary} << "left by a crash"; }, {"curtime.dat"}},
		{"a directory holds the temporary's name", true, "",
		 [&] { fs::create_directory(temporary); }, {".curtime.dat.tmp", "curtime.dat"}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		fs::remove_all(temporary);
		c.leave();
		watching.no_unnamed_files = c.no_unnamed_files;
		watching.appears = c.appears;
		rewrite(nullptr, "26 12 8 22 0 0\n");
		EXPECT_EQ(names_in(dir), c.entries);
	}
}

} // namespace
