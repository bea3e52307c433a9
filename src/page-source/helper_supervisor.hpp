#pragma once

// Runs one source's page helper on a thread of its own: starts it, watches it, starts it again after a growing
// pause when it fails, stops it, and carries the source's commands to it.

#include "page-source/channel.hpp"
#include "page-source/frame_reader.hpp"
#include "page-source/helper_process.hpp"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace page {

// Commands waiting for room in a helper's socket, sent in order: one the socket has no room for stays first in
// line until there is room (POLLOUT), so none is lost to a busy helper.
class CommandQueue {
public:
	void push(PacketBytes packet) { packets_.push_back(std::move(packet)); }
	// Sends what the socket takes now; false when the helper has closed its end.
	bool flush(int socket);
	bool empty() const { return packets_.empty(); }
	size_t size() const { return packets_.size(); }
	void clear() { packets_.clear(); }

private:
	std::deque<PacketBytes> packets_;
};

// What a new helper starts from.
struct HelperLaunch {
	std::vector<std::string> arguments;
	uint32_t width = 0;
	uint32_t height = 0;
	std::vector<Command> commands; // its first commands, in order
};

// The source's side of its helper. Called on the supervisor's thread; launch() with the supervisor's lock held,
// so it must not call the supervisor.
class HelperClient {
public:
	virtual ~HelperClient() = default;
	virtual HelperLaunch launch() = 0;
	// The frame area of the helper that now runs.
	virtual void helperStarted(std::shared_ptr<FrameArea> area) = 0;
	// The helper has gone: asked to (a new size, hidden), or failed.
	virtual void helperEnded(bool failed) = 0;
	// Every packet from the helper but heartbeats and failures, which the supervisor handles itself.
	virtual void received(const Message &message) = 0;
};

class HelperSupervisor {
public:
	HelperSupervisor(std::string helperPath, HelperClient &client);
	~HelperSupervisor();
	HelperSupervisor(const HelperSupervisor &) = delete;
	HelperSupervisor &operator=(const HelperSupervisor &) = delete;

	// Starts the supervisor's thread; false (logged) when it cannot.
	bool start();
	// Ends the helper and the thread; the client hears nothing more.
	void stop();

	// Whether a helper should run at all (a source that shuts down when hidden has none while hidden).
	void setWanted(bool wanted);
	// Replaces the running helper by one started from launch().
	void restart();
	// A command for the helper running now; the next helper starts from launch() instead. A text longer than
	// one packet carries is refused with a log line.
	void send(const Command &command);
	// A packet for the helper running now; dropped when none runs, or when `dropBeyond` commands already wait (a
	// helper that does not read them).
	void send(PacketBytes packet, size_t dropBeyond = SIZE_MAX);

private:
	enum class Ending { Asked, Failed };

	void run();
	Ending watch(HelperProcess &helper, const FrameArea &area, int64_t startedAt);
	// False when the helper reported that its page failed.
	bool readPackets(int socket, int64_t &lastPacket);
	// Queues a command, or logs why it cannot; with lock_ held.
	void queueCommand(const Command &command);
	// The address the helper was sent last, for log lines.
	std::string page();
	void poke();
	// Sleeps until poked or `ms` pass.
	void rest(int64_t ms);

	const std::string path_;
	HelperClient &client_;
	std::thread worker_;
	int wake_ = -1;
	std::atomic<bool> stopping_{false};
	std::atomic<bool> wanted_{true};

	std::mutex lock_; // the four below
	CommandQueue queue_;
	bool running_ = false; // a helper takes commands
	bool restart_ = false;
	std::string page_;

	// Worker only.
	std::vector<uint8_t> buffer_;
	bool failureLogged_ = false;
	bool badPacketLogged_ = false;
};

} // namespace page
