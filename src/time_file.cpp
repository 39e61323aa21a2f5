#include "time_file.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Owns a file descriptor; the success path closes it itself to see the result.
class UniqueFd {
public:
	explicit UniqueFd(int fd) : fd_{fd} {}
	UniqueFd(const UniqueFd &) = delete;
	UniqueFd &operator=(const UniqueFd &) = delete;
	~UniqueFd()
	{
		if (fd_ >= 0)
			::close(fd_);
	}
	int get() const { return fd_; }
	int release() { return std::exchange(fd_, -1); }
	void reset(int fd)
	{
		if (fd_ >= 0)
			::close(fd_);
		fd_ = fd;
	}

private:
	int fd_;
};

bool write_at(int fd, std::string_view bytes, off_t offset)
{
	while (!bytes.empty()) {
		const ssize_t written = ::pwrite(fd, bytes.data(), bytes.size(), offset);
		if (written < 0) {
			if (errno == EINTR)
				continue;
			return false;
		}
		if (written == 0) {
			errno = EIO;
			return false;
		}
		bytes.remove_prefix(static_cast<std::size_t>(written));
		offset += written;
	}
	return true;
}

// O_NOFOLLOW and O_NONBLOCK turn a link or a FIFO without a reader into
// ELOOP or ENXIO; say what is really at the path instead.
WriteResult open_failure(const char *path, int error)
{
	struct stat status {};
	if ((error == ELOOP || error == ENXIO) && ::lstat(path, &status) == 0) {
		if (S_ISLNK(status.st_mode))
			return {Fault::symbolic_link, 0};
		if (!S_ISREG(status.st_mode))
			return {Fault::not_regular_file, 0};
	}
	return {Fault::open, error};
}

// Opening the file never follows a link at its name and never waits on a
// FIFO or takes a terminal there.
constexpr int open_flags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// The longest record an earlier tick can have left in the file.
constexpr std::size_t longest_record = 18;

// Rewrites an open regular file of `old_size` bytes so that it holds
// `record` alone. At every instant between and within the calls a reader
// meets a whole record on the first line and nothing after it but line
// feeds: a write lands its bytes before the size grows, so a growing
// record first extends the file with line feeds and only then replaces the
// old one, and a shrinking record blanks the old tail in the same write.
WriteResult rewrite(int fd, std::size_t old_size, std::string_view record)
{
	// The steady tick: the length stays, one write does it all.
	if (record.size() == old_size)
		return write_at(fd, record, 0) ? WriteResult{} : WriteResult{Fault::write, errno};

	char bytes[longest_record];
	std::fill(std::begin(bytes), std::end(bytes), '\n');
	if (record.size() > old_size && old_size > 0 &&
	    !write_at(fd, {bytes, std::min(record.size() - old_size, sizeof bytes)},
	              static_cast<off_t>(old_size)))
		return {Fault::write, errno};

	// Only what an earlier record can leave behind is blanked; a larger
	// file of foreign content is simply cut.
	std::string_view whole = record;
	if (old_size > record.size() && old_size <= sizeof bytes) {
		std::copy(record.begin(), record.end(), bytes);
		whole = {bytes, old_size};
	}
	if (!write_at(fd, whole, 0))
		return {Fault::write, errno};
	if (old_size > record.size() && ::ftruncate(fd, static_cast<off_t>(record.size())) != 0)
		return {Fault::truncate, errno};
	return {};
}

// The file is missing: make it appear only once it holds the record, so
// that no reader ever meets it empty, not even when the disk is full and
// the record can't be written. Fails with EOPNOTSUPP where that can't be
// done: the file system has no unnamed files, or /proc is not mounted.
WriteResult create_whole(const char *path, std::string_view record)
{
	char directory[PATH_MAX];
	const char *slash = std::strrchr(path, '/');
	if (slash == nullptr || static_cast<std::size_t>(slash - path) >= sizeof directory)
		return {Fault::open, EOPNOTSUPP};
	// A file right under the root keeps its slash as its directory.
	const std::size_t length = slash == path ? 1 : static_cast<std::size_t>(slash - path);
	std::copy(path, path + length, directory);
	directory[length] = '\0';

	UniqueFd file{::open(directory, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666)};
	if (file.get() < 0) {
		const int error = errno;
		// EISDIR: a kernel that predates unnamed files opened the directory.
		return {Fault::open, error == EISDIR || error == EINVAL ? EOPNOTSUPP : error};
	}
	if (!write_at(file.get(), record, 0))
		return {Fault::write, errno}; // the unnamed file dies with its descriptor

	// Linking a descriptor by itself takes a capability; through /proc it
	// takes none. Any failure but EEXIST falls back to creating by name,
	// which then reports the real reason, if there is one.
	char self[32];
	(void)std::snprintf(self, sizeof self, "/proc/self/fd/%d", file.get());
	if (::linkat(AT_FDCWD, self, AT_FDCWD, path, AT_SYMLINK_FOLLOW) != 0)
		return {Fault::open, errno == EEXIST ? EEXIST : EOPNOTSUPP};
	if (::close(file.release()) != 0)
		return {Fault::close, errno};
	return {};
}

// Where unnamed files can't be had: create the file by name, and take it
// away again if the record can't go in, so that it is never left empty.
WriteResult create_named(const char *path, std::string_view record)
{
	UniqueFd file{::open(path, open_flags | O_CREAT | O_EXCL, 0666)};
	if (file.get() < 0)
		return open_failure(path, errno);
	if (!write_at(file.get(), record, 0)) {
		const int error = errno;
		(void)::unlink(path);
		return {Fault::write, error};
	}
	if (::close(file.release()) != 0)
		return {Fault::close, errno};
	return {};
}

} // namespace

WriteResult write_time_file(const char *path, std::string_view record)
{
	// A missing file is created whole; if another file appears at the path
	// meanwhile (EEXIST), that one is rewritten in place below instead.
	UniqueFd file{::open(path, open_flags)};
	if (file.get() < 0 && errno == ENOENT) {
		WriteResult created = create_whole(path, record);
		if (created.fault == Fault::open && created.error == EOPNOTSUPP)
			created = create_named(path, record);
		if (!(created.fault == Fault::open && created.error == EEXIST))
			return created;
		file.reset(::open(path, open_flags));
	}
	if (file.get() < 0)
		return open_failure(path, errno);

	struct stat status {};
	if (::fstat(file.get(), &status) != 0)
		return {Fault::open, errno};
	if (!S_ISREG(status.st_mode))
		return {Fault::not_regular_file, 0};

	const WriteResult result =
		rewrite(file.get(), static_cast<std::size_t>(std::max<off_t>(status.st_size, 0)), record);
	if (!result.ok())
		return result;
	if (::close(file.release()) != 0)
		return {Fault::close, errno};
	return {};
}

namespace {

// The failed call's name, and a reason of our own where the system's errno
// would mislead (O_NOFOLLOW says ELOOP, O_NONBLOCK on a FIFO says ENXIO).
struct Description {
	const char *what;
	const char *reason; // nullptr: the system's own
};

Description describe(Fault fault)
{
	switch (fault) {
	case Fault::none:
	case Fault::open:
		break;
	case Fault::symbolic_link:
		return {"open", "symbolic link, not followed"};
	case Fault::not_regular_file:
		return {"open", "not a regular file"};
	case Fault::write:
		return {"write", nullptr};
	case Fault::truncate:
		return {"truncate", nullptr};
	case Fault::close:
		return {"close", nullptr};
	}
	return {"open", nullptr};
}

} // namespace

void report_change(std::FILE *out, const char *path, const WriteResult &before,
                   const WriteResult &now)
{
	if (now == before)
		return;
	// A lost message must not stop the file being kept.
	if (now.ok()) {
		(void)std::fprintf(out, "vantrel: writing %s again\n", path);
		return;
	}
	const Description failed = describe(now.fault);
	(void)std::fprintf(out, "vantrel: %s %s: %s\n", failed.what, path,
	                   failed.reason != nullptr ? failed.reason : std::strerror(now.error));
}
