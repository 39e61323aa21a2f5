// vantrel-clock: waits until a time-sync client has synchronised the
// kernel's clock, then ends. Run by vantrel-clock.service, which alone may
// read the clock's state; vantrel.service waits while it runs.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <sys/timex.h>
#include <unistd.h>

namespace {

constexpr const char *unit_directories[] = {"/etc/systemd/system", "/run/systemd/system",
                                            "/usr/local/lib/systemd/system", "/usr/lib/systemd/system",
                                            "/lib/systemd/system"};

// Where systemd's ntp-units.d lists lie, as systemd/ntp-units.d below each.
constexpr const char *list_parents[] = {"/etc", "/run", "/usr/local/lib", "/usr/lib", "/lib"};

// Joins a directory and a name into `out`; false when they do not fit.
bool join(char (&out)[PATH_MAX], const char *directory, const char *name)
{
	const int written = std::snprintf(out, sizeof out, "%s/%s", directory, name);
	return written > 0 && static_cast<std::size_t>(written) < sizeof out;
}

bool unit_exists(const char *unit)
{
	char path[PATH_MAX];
	for (const char *directory : unit_directories)
		if (join(path, directory, unit) && ::access(path, F_OK) == 0)
			return true;
	return false;
}

// Whether one of the units named in the list file at `path` exists.
bool names_a_unit(const char *path)
{
	std::FILE *list = std::fopen(path, "re");
	if (list == nullptr)
		return false;
	bool found = false;
	for (char unit[256]; !found && std::fgets(unit, sizeof unit, list) != nullptr;) {
		unit[std::strcspn(unit, "\n")] = '\0';
		found = unit[0] != '\0' && unit[0] != '#' && unit_exists(unit);
	}
	(void)std::fclose(list);
	return found;
}

// Whether a client that disciplines the kernel's clock is installed. Such
// clients name their units in systemd's ntp-units.d lists, which timedated
// reads too; ntpsec on Debian 12 names none, so it is named here. Plain C
// calls, so that the program needs no C++ runtime library, as the daemon.
bool client_installed()
{
	if (unit_exists("ntpsec.service"))
		return true;
	char lists[PATH_MAX], list[PATH_MAX];
	for (const char *directory : list_parents) {
		if (!join(lists, directory, "systemd/ntp-units.d"))
			continue;
		DIR *entries = ::opendir(lists);
		if (entries == nullptr)
			continue;
		bool found = false;
		for (const dirent *entry; !found && (entry = ::readdir(entries)) != nullptr;)
			found = entry->d_name[0] != '.' && join(list, lists, entry->d_name) && names_a_unit(list);
		(void)::closedir(entries);
		if (found)
			return true;
	}
	return false;
}

void say(const char *message) { (void)std::fprintf(stderr, "vantrel-clock: %s\n", message); }

} // namespace

// Takes no arguments.
int main()
{
	int said_error = 0;
	bool said_waiting = false;
	for (;;) {
		timex state{}; // no modes: only read
		if (::adjtimex(&state) == -1) {
			const int error = errno;
			if (error != said_error)
				(void)std::fprintf(stderr, "vantrel-clock: adjtimex: %s\n", std::strerror(error));
			said_error = error;
		} else if ((state.status & STA_UNSYNC) == 0) {
			say("the clock is synchronised");
			return 0;
		} else if (!said_waiting) {
			say("waiting for the clock to be synchronised");
			if (!client_installed())
				say("no time-sync client is installed: waiting for one");
			said_waiting = true;
		}
		const timespec second{1, 0};
		(void)::nanosleep(&second, nullptr);
	}
}
