// Rewrites the time file in place, so that a reader always finds a whole
// record on its first line and the file keeps its inode, owner and mode.
#ifndef VANTREL_TIME_FILE_H
#define VANTREL_TIME_FILE_H

#include "report.h"

#include <string_view>

// Makes `record` the whole content of the file at `path`. A reader meets,
// at any instant, either no file or a whole record on the first line with
// nothing after it but line feeds; only on a file system without hard
// links may a file being created show empty for a moment. After a power
// cut the same holds on disk: a whole record, perhaps an older one, or no
// file if the cut came before its creation was synced; only a cut during
// the sync after a shrink can leave a zero byte after the record. Never
// blocks, never follows a symbolic link at the last component and writes
// only to a regular file. Nothing stays open afterwards. An empty record
// is refused.
Outcome write_time_file(const char *path, std::string_view record);

#endif
