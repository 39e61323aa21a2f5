// Every state of the time file that a reader can meet while it is being
// rewritten. The test executable is linked with --wrap for pwrite and
// ftruncate, so each call is seen before and after it runs, and each write
// also in the middle: its bytes in place but the file not yet grown, which
// is how the kernel lands a write that extends a file.
#include "time_file.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// What the wrappers saw during one call of write_time_file.
struct Observer {
	std::string path;
	std::vector<std::string> states; // "<missing>" where there was no file
	std::size_t calls = 0, bytes_written = 0;

	void look() { states.push_back(read_file(path).value_or("<missing>")); }
	void look_inside_write(int fd, const void *data, std::size_t size, off_t offset)
	{
		struct stat written {}, named {};
		if (fstat(fd, &written) != 0 || stat(path.c_str(), &named) != 0 ||
		    written.st_ino != named.st_ino)
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
	++observer->calls;
	observer->bytes_written += size;
	observer->look();
	observer->look_inside_write(fd, data, size, static_cast<off_t>(offset));
	const ssize_t written = real(fd, data, size, offset);
	observer->look();
	return written;
}

template <typename Offset, typename Truncate>
int observed_ftruncate(int fd, Offset length, Truncate real)
{
	if (observer == nullptr)
		return real(fd, length);
	++observer->calls;
	observer->look();
	const int result = real(fd, length);
	observer->look();
	return result;
}

} // namespace

extern "C" {
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
		dir = make_test_directory();
		watching.path = (dir / "curtime.dat").string();
	}
	void TearDown() override
	{
		observer = nullptr;
		fs::remove_all(dir);
	}

	// Rewrites the file holding `before` (none: no file) with `record`,
	// watching every call.
	void rewrite(const std::string *before, const std::string &record)
	{
		std::error_code ignored;
		fs::remove(watching.path, ignored);
		if (before != nullptr)
			std::ofstream{watching.path, std::ios::binary} << *before;
		watching.states.clear();
		watching.calls = watching.bytes_written = 0;
		observer = &watching;
		const WriteResult result = write_time_file(watching.path.c_str(), record);
		observer = nullptr;
		ASSERT_TRUE(result.ok());
		ASSERT_EQ(read_file(watching.path), record);
		ASSERT_GT(watching.calls, 0u) << "the wrappers saw nothing";
	}

	fs::path dir;
	Observer watching;
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
			EXPECT_LE(watching.calls, 3u) << "system calls that change the file";
		}
	}
}

// A missing file appears only with its record in it: readers meet no file
// or a whole one, never an empty one.
TEST_F(TimeFileStates, NewFileNeverShowsEmpty)
{
	rewrite(nullptr, "26 12 8 22 0 0\n");
	for (const std::string &state : watching.states)
		EXPECT_TRUE(state == "<missing>" || reader_safe(state)) << '"' << state << '"';
}

// Foreign content is cut, not blanked: never megabytes of line feeds.
TEST_F(TimeFileStates, ForeignContentIsCutNotBlanked)
{
	const std::string before(1 << 20, 'x');
	rewrite(&before, "26 12 8 22 0 0\n");
	EXPECT_LE(watching.bytes_written, 18u);
}

} // namespace
