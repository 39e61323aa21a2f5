#include "time_file.h"

#include <algorithm>
#include <cerrno>
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

} // namespace

WriteResult write_time_file(const char *path, std::string_view record)
{
	UniqueFd file{::open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
	                     0666)};
	if (file.get() < 0)
		return open_failure(path, errno);

	struct stat status {};
	if (::fstat(file.get(), &status) != 0)
		return {Fault::open, errno};
	if (!S_ISREG(status.st_mode))
		return {Fault::not_regular_file, 0};

	// Never truncate first: the old record stays readable until the new one
	// covers it. When the record grows, its new tail goes past the old end
	// first, so a reader who still sees the old size never meets the new
	// head without its line feed.
	const std::size_t old_size = static_cast<std::size_t>(std::max<off_t>(status.st_size, 0));
	const std::size_t head = std::min(old_size, record.size());
	if (record.size() > head &&
	    !write_at(file.get(), record.substr(head), static_cast<off_t>(head)))
		return {Fault::write, errno};
	if (head > 0 && !write_at(file.get(), record.substr(0, head), 0))
		return {Fault::write, errno};
	if (old_size > record.size() &&
	    ::ftruncate(file.get(), static_cast<off_t>(record.size())) != 0)
		return {Fault::truncate, errno};

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
