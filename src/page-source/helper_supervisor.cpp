#include "page-source/helper_supervisor.hpp"

#include "page-source/page_log.hpp"
#include "page-source/page_rules.hpp"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace page {

namespace {

int64_t nowMs()
{
	return std::chrono::duration_cast<std::chrono::milliseconds>(
		       std::chrono::steady_clock::now().time_since_epoch())
		.count();
}

const char *commandName(Packet type)
{
	switch (type) {
	case Packet::Navigate:
		return "address";
	case Packet::Css:
		return "style sheet";
	default:
		return "command";
	}
}

} // namespace

bool CommandQueue::flush(int socket)
{
	while (!packets_.empty()) {
		switch (sendPacket(socket, packets_.front())) {
		case SendResult::Sent:
			packets_.pop_front();
			break;
		case SendResult::Full:
			return true;
		case SendResult::Closed:
			return false;
		}
	}
	return true;
}

HelperSupervisor::HelperSupervisor(std::string helperPath, HelperClient &client)
	: path_(std::move(helperPath)),
	  client_(client),
	  buffer_(kMaxPacketBytes)
{
}

HelperSupervisor::~HelperSupervisor()
{
	stop();
}

bool HelperSupervisor::start()
{
	wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
	if (wake_ < 0) {
		page_log(LOG_ERROR, "cannot create a page source: no eventfd (%s)", strerror(errno));
		return false;
	}
	try {
		worker_ = std::thread([this] { run(); });
	} catch (const std::system_error &error) {
		page_log(LOG_ERROR, "cannot create a page source: no thread (%s)", error.what());
		close(wake_);
		wake_ = -1;
		return false;
	}
	return true;
}

void HelperSupervisor::stop()
{
	stopping_ = true;
	if (worker_.joinable()) {
		poke();
		worker_.join();
	}
	if (wake_ >= 0)
		close(wake_);
	wake_ = -1;
}

void HelperSupervisor::setWanted(bool wanted)
{
	if (wanted_.exchange(wanted) != wanted)
		poke();
}

void HelperSupervisor::restart()
{
	{
		std::lock_guard<std::mutex> hold(lock_);
		restart_ = true;
	}
	poke();
}

void HelperSupervisor::send(const Command &command)
{
	{
		std::lock_guard<std::mutex> hold(lock_);
		if (!running_)
			return;
		queueCommand(command);
	}
	poke();
}

void HelperSupervisor::send(PacketBytes packet, size_t dropBeyond)
{
	{
		std::lock_guard<std::mutex> hold(lock_);
		if (!running_ || queue_.size() >= dropBeyond)
			return;
		queue_.push(std::move(packet));
	}
	poke();
}

void HelperSupervisor::queueCommand(const Command &command)
{
	PacketBytes packet;
	if (!encodeCommand(command, packet)) {
		page_log(LOG_WARNING, "the page's %s of %zu bytes is longer than the page helper takes (%zu); not sent",
			 commandName(command.type), command.text.size(), kMaxTextBytes);
		return;
	}
	queue_.push(std::move(packet));
	if (command.type == Packet::Navigate)
		page_ = command.text;
}

std::string HelperSupervisor::page()
{
	std::lock_guard<std::mutex> hold(lock_);
	return page_;
}

void HelperSupervisor::poke()
{
	const uint64_t one = 1;
	if (wake_ >= 0)
		(void)!write(wake_, &one, sizeof one);
}

void HelperSupervisor::rest(int64_t ms)
{
	pollfd wait = {wake_, POLLIN, 0};
	poll(&wait, 1, int(ms));
	uint64_t count;
	(void)!read(wake_, &count, sizeof count);
}

void HelperSupervisor::run()
{
	int failures = 0;
	while (!stopping_) {
		if (!wanted_) {
			rest(1000);
			continue;
		}
		HelperLaunch launch;
		{
			// Under the lock, so that a command sent while the launch is read comes after the launch's own.
			std::lock_guard<std::mutex> hold(lock_);
			restart_ = false;
			queue_.clear();
			launch = client_.launch();
			page_.clear();
			for (const Command &command : launch.commands)
				queueCommand(command);
			running_ = true;
		}
		const std::shared_ptr<FrameArea> area = FrameArea::create(launch.width, launch.height);
		HelperProcess helper;
		if (!area || !startHelper(path_, launch.arguments, area->descriptor(), helper)) {
			if (!failureLogged_)
				page_log(LOG_WARNING, "cannot start the page helper %s: %s", path_.c_str(),
					 strerror(errno));
			failureLogged_ = true;
			{
				std::lock_guard<std::mutex> hold(lock_);
				running_ = false;
				queue_.clear();
			}
			rest(restartDelayMs(++failures));
			continue;
		}
		area->closeDescriptor();
		client_.helperStarted(area);
		const int64_t startedAt = nowMs();
		const Ending ending = watch(helper, *area, startedAt);
		{
			std::lock_guard<std::mutex> hold(lock_);
			running_ = false;
			queue_.clear();
		}
		client_.helperEnded(ending == Ending::Failed);
		if (!stopHelper(helper))
			page_log(LOG_WARNING, "a page helper did not end within its limit");
		// A helper that ran well for a while starts the back-off, and the failure log, over: a page that keeps
		// failing is logged once.
		const bool ranWell = nowMs() - startedAt > kRanWellMs;
		if (ending == Ending::Failed) {
			failures = ranWell ? 1 : failures + 1;
			rest(restartDelayMs(failures));
		} else {
			failures = 0;
		}
		if (ending == Ending::Asked || ranWell)
			failureLogged_ = false;
	}
}

HelperSupervisor::Ending HelperSupervisor::watch(HelperProcess &helper, const FrameArea &area, int64_t startedAt)
{
	int64_t lastPacket = startedAt;
	for (;;) {
		bool waiting = false;
		{
			std::lock_guard<std::mutex> hold(lock_);
			waiting = !queue_.empty();
		}
		pollfd waits[2] = {{helper.socket, short(POLLIN | (waiting ? POLLOUT : 0)), 0}, {wake_, POLLIN, 0}};
		poll(waits, 2, 100);
		if (waits[1].revents) {
			uint64_t count;
			(void)!read(wake_, &count, sizeof count);
		}
		if (stopping_ || !wanted_)
			return Ending::Asked;
		bool connected = true;
		{
			std::lock_guard<std::mutex> hold(lock_);
			if (restart_)
				return Ending::Asked;
			connected = queue_.flush(helper.socket);
		}
		if ((waits[0].revents & POLLIN) && !readPackets(helper.socket, lastPacket))
			return Ending::Failed;
		int status = 0;
		const bool exited = helperExited(helper, status);
		if (exited || !connected || (waits[0].revents & (POLLHUP | POLLERR))) {
			if (!failureLogged_) {
				char why[64];
				if (!exited)
					snprintf(why, sizeof why, "its connection closed");
				else if (status > 128)
					snprintf(why, sizeof why, "killed by signal %d", status - 128);
				else
					snprintf(why, sizeof why, "%s", describeHelperExit(status));
				page_log(LOG_WARNING, "the page helper for %s ended (%s); starting it again",
					 page().c_str(), why);
			}
			failureLogged_ = true;
			return Ending::Failed;
		}
		const bool hasFrame = area.header()->published.load(std::memory_order_acquire) > 0;
		const int64_t now = nowMs();
		const Verdict verdict = judge({now - startedAt, now - lastPacket, hasFrame});
		if (verdict != Verdict::Healthy) {
			page_log(LOG_WARNING, "the page helper for %s %s; starting it again", page().c_str(),
				 verdict == Verdict::NoFirstFrame ? "delivered no frame in time" : "stopped answering");
			return Ending::Failed;
		}
	}
}

bool HelperSupervisor::readPackets(int socket, int64_t &lastPacket)
{
	for (;;) {
		const ssize_t size = receivePacket(socket, buffer_.data());
		if (size <= 0)
			return true; // nothing more now; a closed socket is seen by the caller
		Message message;
		if (!decode(buffer_.data(), size_t(size), message)) {
			if (!badPacketLogged_)
				page_log(LOG_WARNING,
					 "the page helper for %s sent a packet the module does not take (%zd bytes)",
					 page().c_str(), size);
			badPacketLogged_ = true;
			continue;
		}
		lastPacket = nowMs();
		if (message.type == Packet::Failed) {
			if (!failureLogged_)
				page_log(LOG_WARNING, "the page %s did not load: %.*s", page().c_str(),
					 int(message.text.size()), message.text.data());
			failureLogged_ = true;
			return false;
		}
		if (message.type != Packet::Heartbeat)
			client_.received(message);
	}
}

} // namespace page
