#pragma once

// Starting and ending page helpers. Each runs in a process group of its own, so that ending the group ends
// WebKit's processes too, and dies with the thread that started it.

#include <string>
#include <sys/types.h>
#include <vector>

namespace page {

struct HelperProcess {
	pid_t pid = -1;  // negative once reaped: the group of WebKit's processes it leaves behind
	int socket = -1; // the module's end
};

// Starts `path` with `arguments`, with a new socket and `frameAreaFd` at the descriptors the helper expects.
// Returns false (and leaves `out` empty) when it cannot.
bool startHelper(const std::string &path, const std::vector<std::string> &arguments, int frameAreaFd,
		 HelperProcess &out);

// Whether the helper has exited; it is then reaped, and `status` gets its exit code, or 128 + the signal that
// ended it.
bool helperExited(HelperProcess &helper, int &status);

// Kills the helper's process group and reaps the helper, waiting at most `limitMs`; closes its socket.
// Returns false when the helper could not be reaped in time.
bool stopHelper(HelperProcess &helper, int limitMs = 2000);

// Runs `path` with `arguments` and no socket; returns its exit status, or -1 when it did not finish within
// `limitMs` (it is then killed) or could not start.
int runHelper(const std::string &path, const std::vector<std::string> &arguments, int limitMs);

} // namespace page
