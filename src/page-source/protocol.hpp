#pragma once

// What the page source module and its page helper share: the frame area in shared memory, the packets on
// their socket (SOCK_SEQPACKET, so every send is one packet) and how a helper ends. Both sides are built from
// this header; channel.hpp reads and writes what it describes.

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace page {

// The helper finds its socket and its frame area at these descriptors.
constexpr int kSocketFd = 3;
constexpr int kFrameAreaFd = 4;

constexpr uint32_t kFrameAreaMagic = 0x4c505331; // "LPS1"

// Two frame slots: the helper writes the one not published last. Each slot has a sequence number that is odd
// while the helper writes it, so a reader that saw it change while copying knows the copy is torn. The module
// writes magic, width, height and stride once, before the helper starts; the helper may write anything here,
// so the module never sizes or places a copy by these fields.
struct FrameAreaHeader {
	uint32_t magic;
	uint32_t width;
	uint32_t height;
	uint32_t stride;
	std::atomic<uint64_t> published; // frames published so far; the newest is in slot (published - 1) % 2
	std::atomic<uint32_t> slotSequence[2];
	uint8_t reserved[64 - 32];
};
static_assert(sizeof(FrameAreaHeader) == 64, "the header is one cache line");
static_assert(std::atomic<uint64_t>::is_always_lock_free, "shared between processes");

constexpr size_t frameBytes(uint32_t width, uint32_t height)
{
	return size_t(width) * height * 4;
}
constexpr size_t slotOffset(uint32_t width, uint32_t height, int slot)
{
	return sizeof(FrameAreaHeader) + size_t(slot) * frameBytes(width, height);
}
constexpr size_t frameAreaBytes(uint32_t width, uint32_t height)
{
	return slotOffset(width, height, 2);
}

// Every packet starts with its type. Helper to module below 10, module to helper from 10.
enum class Packet : uint32_t {
	// helper -> module
	Heartbeat = 1, // every kHeartbeatMs while the helper's main loop runs
	Audio = 2,     // AudioHeader, then frames * channels floats, interleaved
	Failed = 3,    // the page did not load: UTF-8 text follows
	// module -> helper
	Navigate = 10,      // UTF-8 URL follows (empty: none)
	Css = 11,           // UTF-8 style sheet follows (empty: none)
	AudioToModule = 13, // one byte: 1, the page's sound goes to the module; 0, to the desktop's default output
	Shown = 14,         // one byte: 1, the source is shown somewhere; 0, nowhere, and the page need not paint
};

struct AudioHeader {
	Packet type;
	uint32_t rate;
	uint32_t channels;
	uint32_t frames;
};

constexpr int kHeartbeatMs = 250;
// No packet is larger: an audio buffer is split to fit, and a longer text is refused.
constexpr size_t kMaxPacketBytes = size_t(64) * 1024;
constexpr uint32_t kMaxAudioChannels = 8;

// How a helper ends.
namespace helper_exit {
constexpr int kOk = 0;            // ended as asked; with --probe: wpesrc can be created here
constexpr int kNoWpesrc = 1;      // --probe: wpesrc cannot be created
constexpr int kBadFrameArea = 2;  // no frame area at kFrameAreaFd, or not the one its arguments describe
constexpr int kPipelineError = 3; // the pipeline reported an error
constexpr int kNoPipeline = 4;    // the pipeline could not be built or started
constexpr int kUsage = 64;        // arguments it does not understand
constexpr int kNotExecuted = 127; // the helper's file could not be executed
} // namespace helper_exit

} // namespace page
