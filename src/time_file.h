// Rewrites the time file in place, so that a reader always finds a whole
// record on its first line and the file keeps its inode, owner and mode.
#ifndef VANTREL_TIME_FILE_H
#define VANTREL_TIME_FILE_H

#include <cstdio>
#include <string_view>

// What stopped one attempt to write the file.
enum class Fault {
	none,
	open,
	symbolic_link,    // the path's last component is a link: never followed
	not_regular_file, // a FIFO, socket or device: never written to
	write,
	truncate,
	close,
};

struct WriteResult {
	Fault fault = Fault::none;
	int error = 0; // errno of the failed call, where there is one

	bool ok() const { return fault == Fault::none; }
	friend bool operator==(const WriteResult &, const WriteResult &) = default;
};

// Makes `record` the whole content of the file at `path`. A reader meets,
// at any instant, either no file or a whole record on the first line with
// nothing after it but line feeds. Never blocks, never follows a symbolic
// link at the last component and writes only to a regular file. Nothing
// stays open afterwards.
WriteResult write_time_file(const char *path, std::string_view record);

// Tells `out` that writing has started to fail, fails for another reason,
// or works again, as "vantrel: <what failed> <path>: <reason>".
void report_change(std::FILE *out, const char *path, const WriteResult &before,
                   const WriteResult &now);

#endif
