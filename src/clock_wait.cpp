// vantrel-clock: waits until a time-sync client has synchronised the
// kernel's clock, then ends. Run by vantrel-clock.service, which alone may
// read the clock's state; vantrel.service waits while it runs.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

#include <dirent.h>
#include <sys/timex.h>
#include <unistd.h>

namespace {

constexpr const char *unit_directories[] = {"/etc/systemd/system", "/run/systemd/system",
                                            "/usr/local/lib/systemd/system", "/usr/lib/systemd/system",
                                            "/lib/systemd/system"};

bool unit_exists(const std::string &unit)
{
	for (const char *directory : unit_directories)
		if (::access((std::string{directory} + '/' + unit).c_str(), F_OK) == 0)
			return true;
	return false;
}

// Whether a client that disciplines the kernel's clock is installed. Such
// clients name their units in systemd's ntp-units.d lists, which timedated
// reads too; ntpsec on Debian 12 names none, so it is named here.
bool client_installed()
{
	if (unit_exists("ntpsec.service"))
		return true;
	for (const char *directory : {"/etc", "/run", "/usr/local/lib", "/usr/lib", "/lib"}) {
		const std::string lists = std::string{directory} + "/systemd/ntp-units.d";
		DIR *entries = ::opendir(lists.c_str());
		if (entries == nullptr)
			continue;
		bool found = false;
		for (const dirent *entry; !found && (entry = ::readdir(entries)) != nullptr;) {
			if (entry->d_name[0] == '.')
				continue;
			std::ifstream list{lists + '/' + entry->d_name};
			for (std::string unit; !found && std::getline(list, unit);)
				found = !unit.empty() && unit[0] != '#' && unit_exists(unit);
		}
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
