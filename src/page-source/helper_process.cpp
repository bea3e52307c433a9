#include "page-source/helper_process.hpp"

#include "page-source/protocol.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace page {

namespace {

// Forks and execs; in the child only async-signal-safe calls, everything else prepared before the fork.
pid_t spawn(const std::string &path, const std::vector<std::string> &arguments, int socketFd, int areaFd)
{
	std::vector<char *> argv;
	argv.push_back(const_cast<char *>(path.c_str()));
	for (const std::string &argument : arguments)
		argv.push_back(const_cast<char *>(argument.c_str()));
	argv.push_back(nullptr);
	const pid_t parent = getpid();

	const pid_t pid = fork();
	if (pid != 0) {
		if (pid > 0)
			setpgid(pid, pid); // as the child does, so that the group exists whichever runs first
		return pid;
	}
	setpgid(0, 0);
	prctl(PR_SET_PDEATHSIG, SIGKILL);
	if (getppid() != parent)
		_exit(helper_exit::kNotExecuted);
	sigset_t none;
	sigemptyset(&none);
	sigprocmask(SIG_SETMASK, &none, nullptr);
	// Out of the way of 3 and 4 first, in case a descriptor already sits there.
	const int socketCopy = socketFd >= 0 ? fcntl(socketFd, F_DUPFD, 10) : -1;
	const int areaCopy = areaFd >= 0 ? fcntl(areaFd, F_DUPFD, 10) : -1;
	if (socketCopy >= 0)
		dup2(socketCopy, kSocketFd);
	if (areaCopy >= 0)
		dup2(areaCopy, kFrameAreaFd);
	close_range(kFrameAreaFd + 1, ~0U, 0);
	execv(path.c_str(), argv.data());
	_exit(helper_exit::kNotExecuted);
}

bool reap(pid_t pid, int limitMs)
{
	const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
	for (;;) {
		const pid_t done = waitpid(pid, nullptr, WNOHANG);
		if (done == pid || (done < 0 && errno == ECHILD))
			return true;
		if (std::chrono::steady_clock::now() >= deadline)
			return false;
		std::this_thread::sleep_for(std::chrono::milliseconds(5));
	}
}

} // namespace

bool startHelper(const std::string &path, const std::vector<std::string> &arguments, int frameAreaFd,
		 HelperProcess &out)
{
	out = HelperProcess{};
	int sockets[2];
	if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sockets) != 0)
		return false;
	const pid_t pid = spawn(path, arguments, sockets[1], frameAreaFd);
	close(sockets[1]);
	if (pid < 0) {
		close(sockets[0]);
		return false;
	}
	out.pid = pid;
	out.socket = sockets[0];
	return true;
}

bool helperExited(HelperProcess &helper, int &status)
{
	if (helper.pid <= 0)
		return true;
	int raw = 0;
	const pid_t done = waitpid(helper.pid, &raw, WNOHANG);
	if (done == helper.pid || (done < 0 && errno == ECHILD)) {
		status = done == helper.pid && WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : WEXITSTATUS(raw);
		// Reaped: the group id stays valid while WebKit's processes are in the group, and stopHelper still
		// ends them through it.
		helper.pid = -helper.pid;
		return true;
	}
	return false;
}

bool stopHelper(HelperProcess &helper, int limitMs)
{
	bool reaped = true;
	if (helper.pid != -1) {
		const pid_t group = helper.pid > 0 ? helper.pid : -helper.pid;
		killpg(group, SIGKILL);
		if (helper.pid > 0)
			reaped = reap(helper.pid, limitMs);
	}
	if (helper.socket >= 0)
		close(helper.socket);
	helper = HelperProcess{};
	return reaped;
}

int runHelper(const std::string &path, const std::vector<std::string> &arguments, int limitMs)
{
	const pid_t pid = spawn(path, arguments, -1, -1);
	if (pid < 0)
		return -1;
	const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
	for (;;) {
		int status = 0;
		const pid_t done = waitpid(pid, &status, WNOHANG);
		if (done == pid)
			return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
		if (done < 0 || std::chrono::steady_clock::now() >= deadline)
			break;
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	}
	killpg(pid, SIGKILL);
	reap(pid, 2000);
	return -1;
}

} // namespace page
