#include "report.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

TEST(ReportChange, SpeaksOnlyWhenTheOutcomeChanges)
{
	const Outcome ok{};
	const Outcome missing{Fault::open, ENOENT};
	const struct {
		Outcome before, now;
		const char *message;
	} cases[] = {
		{ok, ok, ""},
		{ok, missing, "vantrel: open /d/f: No such file or directory\n"},
		{missing, missing, ""},
		{missing, {Fault::open, EACCES}, "vantrel: open /d/f: Permission denied\n"},
		{missing, ok, "vantrel: writing /d/f again\n"},
		{ok, {Fault::symbolic_link, 0}, "vantrel: open /d/f: symbolic link, not followed\n"},
		{ok, {Fault::not_regular_file, 0}, "vantrel: open /d/f: not a regular file\n"},
		{ok, {Fault::write, ENOSPC}, "vantrel: write /d/f: No space left on device\n"},
		{ok, {Fault::truncate, EROFS}, "vantrel: truncate /d/f: Read-only file system\n"},
		{ok, {Fault::close, EIO}, "vantrel: close /d/f: Input/output error\n"},
		// The sleep is told apart from the file, without the path.
		{ok, {Fault::sleep, EPERM}, "vantrel: sleep: Operation not permitted\n"},
		{{Fault::sleep, EPERM}, {Fault::sleep, EPERM}, ""},
		{{Fault::sleep, EPERM}, ok, "vantrel: sleep works again\n"},
	};
	for (const auto &c : cases) {
		char *text = nullptr;
		std::size_t size = 0;
		std::FILE *out = open_memstream(&text, &size);
		ASSERT_NE(out, nullptr);
		report_change(out, "/d/f", c.before, c.now);
		std::fclose(out);
		EXPECT_EQ(std::string(text, size), c.message);
		std::free(text);
	}
}

} // namespace
