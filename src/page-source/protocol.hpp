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
	Heartbeat = 1,   // every kHeartbeatMs while the helper's main loop runs
	Audio = 2,       // AudioHeader, then frames * channels floats, interleaved
	Failed = 3,      // the page did not load: UTF-8 text follows
	PageCall = 7,    // a record: the page called window.obsstudio's `name` (callback `id`, or none) with `text`
	PageConsole = 8, // a record: a console line; `name` its level, `number` the lines dropped before it
	// module -> helper
	Navigate = 10,      // UTF-8 URL follows (empty: none)
	Css = 11,           // UTF-8 style sheet follows (empty: none)
	AudioToModule = 13, // one byte: 1, the page's sound goes to the module; 0, to the desktop's default output
	Shown = 14,         // one byte: 1, the source is shown somewhere; 0, nowhere, and the page need not paint
	Input = 20,         // an InputEvent follows
	Answer = 21,        // a record: the JSON `text` for the page's callback `id`
	PageEvent = 22,     // a record: the event `name` for the page's window, the JSON `text` its detail
};

// A record packet: this header after the type, then `idBytes` of id, `nameBytes` of name, and the text to the end.
struct RecordHeader {
	uint32_t number;
	uint32_t idBytes;
	uint32_t nameBytes;
};
// Callback ids are what the page's bridge makes of letters, digits and '-', and they are pasted into scripts:
// nothing else passes. Names are a function's, an event's or a console level's: letters, digits and '_'.
constexpr size_t kMaxIdBytes = 64;
constexpr size_t kMaxNameBytes = 64;

// Input for the page, in the terms of GStreamer's navigation events on wpesrc.
enum class InputKind : uint32_t { Move = 1, Leave, Press, Release, Wheel, KeyDown, KeyUp, Focus, Blur };
namespace navigation {
// GstNavigationModifierType's values.
constexpr uint32_t kShift = 1u << 0;
constexpr uint32_t kControl = 1u << 2;
constexpr uint32_t kAlt = 1u << 3; // MOD1
constexpr uint32_t kButton1 = 1u << 8;
constexpr uint32_t kButton2 = 1u << 9;
constexpr uint32_t kButton3 = 1u << 10;
constexpr uint32_t kMeta = 1u << 28;
// Buttons as wpesrc hands them to WebKit.
constexpr uint32_t kLeftButton = 1;
constexpr uint32_t kRightButton = 2;
constexpr uint32_t kMiddleButton = 3;
} // namespace navigation
constexpr size_t kMaxKeyTextBytes = 16;
constexpr uint32_t kMaxWheelSteps = 10;
constexpr uint32_t kMaxClicks = 3;

struct InputEvent {
	InputKind kind = InputKind::Move;
	int32_t x = 0; // the page's own pixels
	int32_t y = 0;
	uint32_t button = 0;    // Press, Release: navigation::k...Button
	uint32_t modifiers = 0; // navigation::k... flags
	int32_t dx = 0;         // Wheel: each step's direction, -1, 0 or 1 (1: towards the page's top or left)
	int32_t dy = 0;
	uint32_t steps = 0;               // Wheel: 1 to kMaxWheelSteps
	uint32_t clicks = 0;              // Press: the click count OBS gives, 1 to kMaxClicks
	uint32_t keysym = 0;              // KeyDown, KeyUp: the X keysym, named when `text` is empty
	char text[kMaxKeyTextBytes] = {}; // KeyDown, KeyUp: the one character the key types, UTF-8, NUL-terminated
};
static_assert(sizeof(InputEvent) == 56, "no padding travels");

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
