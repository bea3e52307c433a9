#pragma once

// Starting and ending page helpers. Each runs in a process group of its own, so that ending the group ends
// WebKit's processes too, and dies with the thread that started it.

#include "page-source/protocol.hpp"

#include <string>
#include <sys/types.h>
#include <vector>

namespace page {

struct HelperProcess {
	pid_t pid = -1;
	int socket = -1;                 // the module's end
	FrameAreaHeader *area = nullptr; // mapped frame area, width x height
	size_t areaBytes = 0;
	uint32_t width = 0;
	uint32_t height = 0;
};

// Starts `path` with `arguments`, its socket and a fresh frame area of width x height at the descriptors the
// helper expects. Returns false (and leaves `out` empty) when it cannot.
bool startHelper(const std::string &path, const std::vector<std::string> &arguments, uint32_t width, uint32_t height,
		 HelperProcess &out);

// Whether the helper has exited (it is then reaped).
bool helperExited(HelperProcess &helper);

// Kills the helper's process group and reaps the helper, waiting at most `limitMs`; closes and unmaps
// everything. Returns false when the helper could not be reaped in time.
bool stopHelper(HelperProcess &helper, int limitMs = 2000);

// Runs `path` with `arguments` and no socket; returns its exit status, or -1 when it did not finish within
// `limitMs` (it is then killed) or could not start.
int runHelper(const std::string &path, const std::vector<std::string> &arguments, int limitMs);

} // namespace page
