#include "time_file.h"

#include "time_record.h"

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

// Makes what was written to `fd` durable: all of it when `whole` (a new
// file's inode too), else its bytes and size. A file system that cannot
// sync (EINVAL, ENOSYS) has nothing to make durable: that is no failure.
bool synced(int fd, bool whole)
{
	if ((whole ? ::fsync(fd) : ::fdatasync(fd)) == 0)
		return true;
	return errno == EINVAL || errno == ENOSYS;
}

// O_NOFOLLOW and O_NONBLOCK turn a link or a FIFO without a reader into
// ELOOP or ENXIO; say what is really at the path instead.
Outcome open_failure(const char *path, int error)
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

// Opening a file never follows a link at its name and never waits on a
// FIFO or takes a terminal there.
constexpr int open_flags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// Rewrites an open regular file of `old_size` bytes so that it holds
// `record` alone. At every instant between and within the calls a reader
// meets a whole record on the first line and nothing after it but line
// feeds: a write lands its bytes before the size grows, so a growing
// record first extends the file with line feeds and only then replaces the
// old one, and a shrinking record blanks the old tail in the same write.
// The same must hold on disk after a power cut, where a journal can commit
// a new size before the bytes under it are written back: so wherever the
// length changes, what precedes the change is synced first (the line feeds
// before the record goes over the old one, the blanked record before the
// cut), and a cut or a file grown from nothing is synced before the call
// returns. The steady tick, of the same length, syncs nothing: it
// overwrites bytes already on disk, within one sector.
// Sizes stay off_t: a foreign file of 4 GiB and a few bytes must not look
// small where size_t has 32 bits.
Outcome rewrite(int fd, off_t old_size, std::string_view record)
{
	const auto size = static_cast<off_t>(record.size());
	// The steady tick: the length stays, one write does it all.
	if (size == old_size)
		return write_at(fd, record, 0) ? Outcome{} : Outcome{Fault::write, errno};

	char bytes[longest_record];
	std::fill(std::begin(bytes), std::end(bytes), '\n');
	if (size > old_size && old_size > 0 &&
	    (!write_at(fd, {bytes, std::min(static_cast<std::size_t>(size - old_size), sizeof bytes)},
	               old_size) ||
	     !synced(fd, false)))
		return {Fault::write, errno};

	// Only what an earlier record can leave behind is blanked; a larger
	// file of foreign content is simply cut.
	std::string_view whole = record;
	if (old_size > size && old_size <= static_cast<off_t>(sizeof bytes)) {
		std::copy(record.begin(), record.end(), bytes);
		whole = {bytes, static_cast<std::size_t>(old_size)};
	}
	// Grown from nothing, the record itself is the growth.
	if (!write_at(fd, whole, 0) || ((old_size > size || old_size == 0) && !synced(fd, false)))
		return {Fault::write, errno};
	// The cut zeroes the rest of the last page in memory; written back
	// under the old size, those zeros would follow the record on disk. So
	// the new size is synced at once, leaving that state on disk no longer
	// than this sync takes to commit.
	if (old_size > size && (::ftruncate(fd, size) != 0 || !synced(fd, false)))
		return {Fault::truncate, errno};
	return {};
}

// How one way of creating the missing file ended.
enum class Creation {
	finished,    // the file holds its record, or the outcome says why not
	unsupported, // this way can't be taken here: try the next
	appeared,    // another file took the name meanwhile: rewrite that one
};

struct Created {
	Creation how = Creation::finished;
	Outcome outcome{};
};

Created finished(Fault fault, int error) { return {Creation::finished, {fault, error}}; }

// Where a file system has no hard links (vfat, exFAT), link() says so.
bool no_hard_links(int error) { return error == EPERM || error == EOPNOTSUPP || error == ENOSYS; }

// The directory of `path` ("/" for a file right under the root); false
// when it does not fit.
bool directory_of(const char *path, char (&out)[PATH_MAX])
{
	const char *slash = std::strrchr(path, '/');
	if (slash == nullptr)
		return false;
	const auto length = std::max<std::size_t>(static_cast<std::size_t>(slash - path), 1);
	const int written = std::snprintf(out, sizeof out, "%.*s", static_cast<int>(length), path);
	return written > 0 && static_cast<std::size_t>(written) < sizeof out;
}

// The hidden temporary beside `path` that creation by link uses,
// ".<name>.tmp"; false when it does not fit.
bool temporary_for(const char *path, char (&out)[PATH_MAX])
{
	const char *slash = std::strrchr(path, '/');
	if (slash == nullptr)
		return false;
	const int written = std::snprintf(out, sizeof out, "%.*s.%s.tmp",
	                                  static_cast<int>(slash + 1 - path), path, slash + 1);
	return written > 0 && static_cast<std::size_t>(written) < sizeof out;
}

// Makes a new name in the directory of `path` durable, so that a power cut
// soon after the file is created does not take the file away again: a
// board that then waits for its clock before the daemon starts would show
// readers no file for as long. Creations are rare, so the cost is too.
// Without read permission on the directory it cannot be opened to sync:
// the journal still commits the name within seconds.
Outcome sync_directory_of(const char *path)
{
	char directory[PATH_MAX];
	if (!directory_of(path, directory))
		return {};
	UniqueFd dir{::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
	if (dir.get() < 0)
		return errno == EACCES ? Outcome{} : Outcome{Fault::write, errno};
	if (!synced(dir.get(), true))
		return {Fault::write, errno};
	if (::close(dir.release()) != 0)
		return {Fault::close, errno};
	return {};
}

// The best way: an unnamed file in the directory, written, then given its
// name, so that the name appears only with the record in it, on disk as
// in memory, and a failed write or sync leaves nothing behind (the file
// dies with its descriptor).
// Unsupported where the file system has no unnamed files (NFS, most FUSE
// file systems) or /proc, which links one without a capability, is missing.
Created create_unnamed(const char *path, std::string_view record)
{
	char directory[PATH_MAX];
	if (!directory_of(path, directory))
		return {Creation::unsupported};
	UniqueFd file{::open(directory, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666)};
	if (file.get() < 0) {
		const int error = errno;
		// EISDIR: a kernel that predates unnamed files opened the directory.
		if (error == EOPNOTSUPP || error == EISDIR || error == EINVAL || error == ENOSYS)
			return {Creation::unsupported};
		return finished(Fault::open, error);
	}
	if (!write_at(file.get(), record, 0) || !synced(file.get(), true))
		return finished(Fault::write, errno);

	// Linking a descriptor by itself takes a capability; through /proc it
	// takes none. Any failure but EEXIST hands over to the next way, which
	// then reports the real reason, if there is one.
	char self[32];
	(void)std::snprintf(self, sizeof self, "/proc/self/fd/%d", file.get());
	if (::linkat(AT_FDCWD, self, AT_FDCWD, path, AT_SYMLINK_FOLLOW) != 0)
		return {errno == EEXIST ? Creation::appeared : Creation::unsupported};
	if (::close(file.release()) != 0)
		return finished(Fault::close, errno);
	return {Creation::finished, sync_directory_of(path)};
}

// Next best, on any file system with hard links: a named temporary in the
// same directory, written, synced and closed (NFS reports quota and space
// errors at close), then linked to the path. The temporary's name is fixed, so
// one a crash left behind is cleared by the next creation and never piles
// up; it is removed again once it is linked, or once it has failed.
Created create_linked(const char *path, std::string_view record)
{
	char temporary[PATH_MAX];
	if (!temporary_for(path, temporary))
		return {Creation::unsupported};
	(void)::unlink(temporary);
	UniqueFd file{::open(temporary, open_flags | O_CREAT | O_EXCL, 0666)};
	if (file.get() < 0) {
		// Something that can't be cleared holds the name (a directory,
		// another user's file under a sticky bit): create by name instead.
		if (errno == EEXIST)
			return {Creation::unsupported};
		return finished(Fault::open, errno);
	}

	Created created{};
	if (!write_at(file.get(), record, 0) || !synced(file.get(), true))
		created = finished(Fault::write, errno);
	else if (::close(file.release()) != 0)
		created = finished(Fault::close, errno);
	else if (::link(temporary, path) != 0) {
		const int error = errno;
		if (error == EEXIST)
			created = {Creation::appeared};
		else if (no_hard_links(error))
			created = {Creation::unsupported};
		else
			created = finished(Fault::open, error);
	} else
		created.outcome = sync_directory_of(path);
	(void)::unlink(temporary);
	return created;
}

// The last resort, where there are no hard links or the temporary's name is
// blocked: create the file by name, write it and sync it at once. A reader
// can meet it empty for a moment; if the record can't go in, the file is
// taken away again rather than left empty.
Created create_named(const char *path, std::string_view record)
{
	UniqueFd file{::open(path, open_flags | O_CREAT | O_EXCL, 0666)};
	if (file.get() < 0) {
		const int error = errno;
		if (error == EEXIST)
			return {Creation::appeared};
		return {Creation::finished, open_failure(path, error)};
	}
	Outcome outcome{};
	if (!write_at(file.get(), record, 0) || !synced(file.get(), true))
		outcome = {Fault::write, errno};
	else if (::close(file.release()) != 0)
		outcome = {Fault::close, errno};
	if (!outcome.ok())
		(void)::unlink(path);
	else
		outcome = sync_directory_of(path);
	return {Creation::finished, outcome};
}

Created create(const char *path, std::string_view record)
{
	Created created = create_unnamed(path, record);
	if (created.how == Creation::unsupported)
		created = create_linked(path, record);
	if (created.how == Creation::unsupported)
		created = create_named(path, record);
	return created;
}

} // namespace

Outcome write_time_file(const char *path, std::string_view record)
{
	// An empty record would cut the file to nothing: the one state a reader
	// must never meet.
	if (record.empty())
		return {Fault::write, EINVAL};

	UniqueFd file{::open(path, open_flags)};
	if (file.get() < 0 && errno == ENOENT) {
		const Created created = create(path, record);
		if (created.how != Creation::appeared)
			return created.outcome;
		file.reset(::open(path, open_flags));
	}
	if (file.get() < 0)
		return open_failure(path, errno);

	struct stat status {};
	if (::fstat(file.get(), &status) != 0)
		return {Fault::open, errno};
	if (!S_ISREG(status.st_mode))
		return {Fault::not_regular_file, 0};

	const Outcome result = rewrite(file.get(), status.st_size, record);
	if (!result.ok())
		return result;
	if (::close(file.release()) != 0)
		return {Fault::close, errno};
	return {};
}
