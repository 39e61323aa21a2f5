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
	const Outcome no_clock{Fault::clock, EINVAL};
	const struct {
		Outcome before, now;
		const char *message;
	} cases[] = {
		{ok, ok, ""},
		{ok, missing, "vantrel: open /d/f: No such file or directory\n"},
		{missing, missing, ""},
		{missing, {Fault::open, EACCES}, "vantrel: open /d/f: Permission denied\n"},
		{missing, ok, "vantrel: writing /d/f again\n"},
		// The sleep and the clock are told apart from the file, without the path.
		{ok, {Fault::sleep, EPERM}, "vantrel: sleep: Operation not permitted\n"},
		{{Fault::sleep, EPERM}, ok, "vantrel: sleep works again\n"},
		{ok, no_clock, "vantrel: clock: Invalid argument\n"},
		{no_clock, no_clock, ""},
		{no_clock, ok, "vantrel: clock works again\n"},
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
