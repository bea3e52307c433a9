#pragma once

// The one place that writes and reads what travels between the module and its page helpers: every packet on
// their socket, and the frames in the frame area. Compiled into both sides, free of libobs and GStreamer.

#include "page-source/protocol.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace page {

using PacketBytes = std::vector<uint8_t>;

// Packets. Each encoder returns false, and leaves `out` empty, when the packet would not fit in
// kMaxPacketBytes: a text is never cut.
bool encodeSignal(Packet type, PacketBytes &out); // Heartbeat
bool encodeText(Packet type, std::string_view text, PacketBytes &out);
bool encodeSwitch(Packet type, bool on, PacketBytes &out); // AudioToModule, Shown
bool encodeAudio(uint32_t rate, uint32_t channels, const float *samples, uint32_t frames, PacketBytes &out);
// PageCall, PageConsole, Answer, PageEvent: the fields each carries are in protocol.hpp.
struct Record {
	std::string_view id;
	std::string_view name;
	std::string_view text;
	uint32_t number = 0;
};
bool encodeRecord(Packet type, const Record &record, PacketBytes &out);
// What a record's id and name may hold (protocol.hpp); decode refuses anything else.
bool validRecordId(std::string_view id);
bool validRecordName(std::string_view name);
bool encodeInput(const InputEvent &event, PacketBytes &out);
// The most text one packet carries, and the most audio frames.
constexpr size_t kMaxTextBytes = kMaxPacketBytes - sizeof(Packet);
size_t audioFramesPerPacket(uint32_t channels);

// A command from the module to its helper, before it is encoded.
struct Command {
	Packet type = Packet::Navigate;
	std::string text; // Navigate, Css
	bool on = false;  // AudioToModule, Shown
};
// Whichever of the encoders above the command's type takes.
bool encodeCommand(const Command &command, PacketBytes &out);

// A packet as received; text and samples point into the buffer it was decoded from.
struct Message {
	Packet type = Packet::Heartbeat;
	std::string_view text; // Failed, Navigate, Css, and the records
	std::string_view id;   // the records
	std::string_view name;
	uint32_t number = 0;
	InputEvent input;  // Input
	bool on = false;   // AudioToModule, Shown
	uint32_t rate = 0; // Audio
	uint32_t channels = 0;
	uint32_t frames = 0;
	const float *samples = nullptr;
};

// False for a packet of a type this build does not know, whose lengths do not add up, or whose ids, names or input
// are not of the kind protocol.hpp describes. `bytes` must be aligned for floats.
bool decode(const uint8_t *bytes, size_t size, Message &out);

enum class SendResult { Sent, Full, Closed };
// Sends one packet without waiting; Full when the peer's socket has no room for it now.
SendResult sendPacket(int socket, const PacketBytes &packet);

// Receives the next packet into `buffer` (kMaxPacketBytes, aligned for floats) without waiting. Returns its size,
// 0 when none waits, -1 when the peer has gone. A packet larger than kMaxPacketBytes is received whole and
// reported as size kMaxPacketBytes + 1, which decode refuses.
ssize_t receivePacket(int socket, uint8_t *buffer);

// Frames. The writer's side: copies width x height BGRA rows `stride` bytes apart into the slot not published
// last, and publishes it. A frame like the newest one is not published again (returns false), which spares the
// reader its copy.
bool publishFrame(FrameAreaHeader *area, uint32_t width, uint32_t height, const uint8_t *pixels, size_t stride);

enum class FrameCopy {
	Nothing, // no frame published since `after`
	Torn,    // the slot was being written during the copy; `out` holds nothing usable
	Copied,  // `out` holds the whole newest frame
};
// The reader's side: copies the newest frame, if published after frame number `after`, into `out`
// (frameBytes(width, height), rows packed), and sets `published` to its number. width and height are the
// reader's own, those the area was made for: nothing the writer put in the header sizes or places the copy.
FrameCopy copyNewestFrame(const FrameAreaHeader *area, uint32_t width, uint32_t height, uint64_t after, uint8_t *out,
			  uint64_t &published);

// What a helper's exit status means, for the log.
const char *describeHelperExit(int code);

} // namespace page
