// Small helpers shared by the tests that look at the time file.
#ifndef VANTREL_TEST_SUPPORT_H
#define VANTREL_TEST_SUPPORT_H

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

// The names in a directory, in order.
inline std::vector<std::string> names_in(const std::filesystem::path &dir)
{
	std::vector<std::string> names;
	for (const auto &entry : std::filesystem::directory_iterator{dir})
		names.push_back(entry.path().filename().string());
	std::sort(names.begin(), names.end());
	return names;
}

// The file's whole content, or nothing when it can't be opened.
inline std::optional<std::string> read_file(const std::string &path)
{
	std::ifstream in{path, std::ios::binary};
	if (!in)
		return std::nullopt;
	std::ostringstream content;
	content << in.rdbuf();
	return content.str();
}

// A whole record with every field in its range, line feed included.
inline bool is_record(const std::string &line)
{
	static const std::regex record{
		"[0-9]{2} ([1-9]|1[0-2]) ([1-9]|[12][0-9]|3[01]) ([0-9]|1[0-9]|2[0-3]) "
		"([0-9]|[1-5][0-9]) ([0-9]|[1-5][0-9]|60)\n"};
	return std::regex_match(line, record);
}

// The first line with its line feed; empty when there is no whole line.
inline std::string first_line(const std::string &content)
{
	const auto end = content.find('\n');
	return end == std::string::npos ? std::string{} : content.substr(0, end + 1);
}

// A whole record first, then nothing but line feeds: what a script's split
// into words and a shell's `read line` both take as exactly the record.
inline bool reader_safe(const std::string &content)
{
	const std::string line = first_line(content);
	return is_record(line) && std::all_of(content.begin() + static_cast<long>(line.size()),
	                                      content.end(), [](char c) { return c == '\n'; });
}

#endif
