#include "time_file.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

const std::string record = "26 12 8 0 0 10\n";

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
// record alone, in the same inode with the same mode. A foreign file of
// 4 GiB and 15 bytes must not pass for a 15-byte record where size_t is 32
// bits wide (armhf).
TEST_F(TimeFile, RewritesInPlace)
{
	const struct {
		const char *name;
		std::string content;
		off_t size; // made sparse to this size when not zero
	} previous[] = {
		{"empty", "", 0},
		{"a record that grows by a digit", "26 12 8 0 0 9\n", 0},
		{"a record that shrinks", "26 12 7 23 59 59\n", 0},
		{"a record of the same length", "26 12 8 0 0 11\n", 0},
		{"a megabyte", std::string(1 << 20, 'x'), 0},
		{"no line feed", "no line feed", 0},
		{"beyond four gibibytes", "", (off_t{1} << 32) + 15},
	};
	for (const auto &before : previous) {
		SCOPED_TRACE(before.name);
		put(before.content);
		if (before.size != 0) {
			ASSERT_EQ(truncate(path.c_str(), before.size), 0); // sparse: no space taken
		}
		ASSERT_EQ(chmod(path.c_str(), 0604), 0);
		struct stat old_status {};
		ASSERT_EQ(stat(path.c_str(), &old_status), 0);

		EXPECT_TRUE(write_time_file(path.c_str(), record).ok());

		struct stat new_status {};
		ASSERT_EQ(stat(path.c_str(), &new_status), 0);
		ASSERT_EQ(new_status.st_size, static_cast<off_t>(record.size())); // never read 4 GiB
		EXPECT_EQ(read_file(path), record);
		EXPECT_EQ(new_status.st_ino, old_status.st_ino);
		EXPECT_EQ(new_status.st_mode & 07777, 0604u);
	}
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
	EXPECT_TRUE(write_time_file(path.c_str(), record).ok());
	umask(old_mask);
	struct stat status {};
	ASSERT_EQ(stat(path.c_str(), &status), 0);
	EXPECT_EQ(status.st_mode & 07777, 0644u);
	EXPECT_EQ(read_file(path), record);
}

// What may sit at the path: the write must fail at once, harm nothing and
// say why. A FIFO someone is reading is still no place for the record.
TEST_F(TimeFile, RefusesWhatIsNotARegularFile)
{
	const std::string victim = (dir / "victim").string();
	int reader = -1;
	const struct {
		const char *name;
		std::function<void()> make;
		Outcome expected;
	} cases[] = {
		{"missing directory", [&] { fs::remove_all(dir); }, {Fault::open, ENOENT}},
		{"directory", [&] { ASSERT_EQ(mkdir(path.c_str(), 0755), 0); }, {Fault::open, EISDIR}},
		{"FIFO", [&] { ASSERT_EQ(mkfifo(path.c_str(), 0666), 0); }, {Fault::not_regular_file, 0}},
		{"FIFO with a reader",
		 [&] {
			 ASSERT_EQ(mkfifo(path.c_str(), 0666), 0);
			 reader = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
			 ASSERT_GE(reader, 0);
		 },
		 {Fault::not_regular_file, 0}},
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
		EXPECT_EQ(write_time_file(path.c_str(), record), c.expected);
		EXPECT_EQ(read_file(victim), victim_before);
		if (reader >= 0) {
			char byte;
			EXPECT_LE(read(reader, &byte, 1), 0) << "the reader got a byte";
			close(reader);
			reader = -1;
		}
		std::error_code ignored;
		fs::remove(path, ignored);
		fs::remove(victim, ignored);
	}
}

} // namespace
