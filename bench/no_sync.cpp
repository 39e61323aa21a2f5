// Preloaded into vantrel to make its syncs do nothing, as they did before
// it synced anything, so that bench/run can show what the syncs cost the
// device beside what the file costs without them. Built with
// VANTREL_ONLY_THE_CUT, it skips only the sync that follows a cut, as
// before the cut was synced.
#include <sys/syscall.h>
#include <unistd.h>

#ifdef VANTREL_ONLY_THE_CUT
static bool just_cut = false;
extern "C" int ftruncate(int fd, off_t length)
{
	just_cut = true;
	return static_cast<int>(syscall(SYS_ftruncate, fd, length));
}
extern "C" int fdatasync(int fd)
{
	const bool skip = just_cut;
	just_cut = false;
	return skip ? 0 : static_cast<int>(syscall(SYS_fdatasync, fd));
}
#else
extern "C" int fsync(int) { return 0; }
extern "C" int fdatasync(int) { return 0; }
#endif
