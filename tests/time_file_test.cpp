#include "time_file.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class TimeFile : public testing::Test {
protected:
	void SetUp() override
	{
		dir = make_test_directory();
		path = (dir / "curtime.dat").string();
	}
	void TearDown() override { fs::remove_all(dir); }

	void put(const std::string &content) const
	{
		std::FILE *out = std::fopen(path.c_str(), "wb");
		ASSERT_NE(out, nullptr);
		ASSERT_EQ(std::fwrite(content.data(), 1, content.size(), out), content.size());
		ASSERT_EQ(std::fclose(out), 0);
	}

	fs::path dir;
	std::string path;
};

// Growing, shrinking and replacing content: the file ends up holding the
// record alone, in the same inode with the same mode.
TEST_F(TimeFile, RewritesInPlace)
{
	const std::string previous[] = {
		"",
		"26 12 8 0 0 9\n",       // the record grows by a digit
		"26 12 7 23 59 59\n",    // the record shrinks
		"26 12 8 0 0 11\n",      // same length
		std::string(1 << 20, 'x'),
		"no line feed",
	};
	for (const std::string &before : previous) {
		put(before);
		ASSERT_EQ(chmod(path.c_str(), 0604), 0);
		struct stat old_status {};
		ASSERT_EQ(stat(path.c_str(), &old_status), 0);

		EXPECT_TRUE(write_time_file(path.c_str(), "26 12 8 0 0 10\n").ok());

		struct stat new_status {};
		ASSERT_EQ(stat(path.c_str(), &new_status), 0);
		EXPECT_EQ(read_file(path), "26 12 8 0 0 10\n") << "was: " << before.substr(0, 20);
		EXPECT_EQ(new_status.st_ino, old_status.st_ino);
		EXPECT_EQ(new_status.st_mode & 07777, 0604u);
	}
}

// A foreign file whose size does not fit 32 bits: 4 GiB and 15 bytes must
// not pass for a 15-byte record where size_t is 32 bits wide (armhf).
TEST_F(TimeFile, CutsAFileBeyondFourGibibytes)
{
	put("");
	ASSERT_EQ(truncate(path.c_str(), (off_t{1} << 32) + 15), 0); // sparse: no space taken
	EXPECT_TRUE(write_time_file(path.c_str(), "26 12 8 0 0 10\n").ok());
	ASSERT_EQ(fs::file_size(path), 15u); // not read whole if it is still 4 GiB
	EXPECT_EQ(read_file(path), "26 12 8 0 0 10\n");
}

// An empty record would leave the file empty: it is refused, and neither an
// existing file nor a missing one is touched.
TEST_F(TimeFile, RefusesAnEmptyRecord)
{
	EXPECT_EQ(write_time_file(path.c_str(), ""), (Outcome{Fault::write, EINVAL}));
	EXPECT_FALSE(fs::exists(path));
	put("26 12 8 0 0 9\n");
	EXPECT_EQ(write_time_file(path.c_str(), ""), (Outcome{Fault::write, EINVAL}));
	EXPECT_EQ(read_file(path), "26 12 8 0 0 9\n");
}

TEST_F(TimeFile, CreatesAMissingFile)
{
	const mode_t old_mask = umask(022);
	EXPECT_TRUE(write_time_file(path.c_str(), "26 12 8 0 0 10\n").ok());
	umask(old_mask);
	struct stat status {};
	ASSERT_EQ(stat(path.c_str(), &status), 0);
	EXPECT_EQ(status.st_mode & 07777, 0644u);
	EXPECT_EQ(read_file(path), "26 12 8 0 0 10\n");
}

// What may sit at the path: the write must fail at once, harm nothing and
// say why.
TEST_F(TimeFile, RefusesWhatIsNotARegularFile)
{
	const std::string victim = (dir / "victim").string();
	const struct {
		const char *name;
		std::function<void()> make;
		Outcome expected;
	} cases[] = {
		{"missing directory", [&] { fs::remove_all(dir); }, {Fault::open, ENOENT}},
		{"directory", [&] { ASSERT_EQ(mkdir(path.c_str(), 0755), 0); }, {Fault::open, EISDIR}},
		{"FIFO", [&] { ASSERT_EQ(mkfifo(path.c_str(), 0666), 0); }, {Fault::not_regular_file, 0}},
		{"link to a file",
		 [&] {
			 put("keep me\n");
			 ASSERT_EQ(rename(path.c_str(), victim.c_str()), 0);
			 ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
		 },
		 {Fault::symbolic_link, 0}},
		{"dangling link", [&] { ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0); },
		 {Fault::symbolic_link, 0}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		fs::create_directories(dir);
		c.make();
		const auto victim_before = read_file(victim);
		EXPECT_EQ(write_time_file(path.c_str(), "26 12 8 0 0 10\n"), c.expected);
		EXPECT_EQ(read_file(victim), victim_before);
		std::error_code ignored;
		fs::remove(path, ignored);
		fs::remove(victim, ignored);
	}
}

// A FIFO someone is reading is still no place for the record.
TEST_F(TimeFile, LeavesAReadFifoAlone)
{
	ASSERT_EQ(mkfifo(path.c_str(), 0666), 0);
	const int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	ASSERT_GE(reader, 0);
	EXPECT_EQ(write_time_file(path.c_str(), "26 12 8 0 0 10\n"),
	          (Outcome{Fault::not_regular_file, 0}));
	char byte;
	EXPECT_LE(read(reader, &byte, 1), 0);
	close(reader);
}

} // namespace
