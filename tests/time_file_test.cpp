#include "time_file.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>

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

} // namespace
