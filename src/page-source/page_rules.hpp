#pragma once

// The page source's rules, free of libobs and processes: what a source's settings ask of its page helper,
// when the watchdog gives up on a helper, and how a page's sound is checked and stamped.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace page {

// What a browser source's settings mean for the page (obs-browser's keys and meaning).
struct PageConfig {
	std::string url;
	std::string css;
	uint32_t width = 800;
	uint32_t height = 600;
	uint32_t fpsNum = 30;
	uint32_t fpsDen = 1;
	bool rerouteAudio = false;
	bool shutdown = false;
	bool restartWhenActive = false;
};

struct RawSettings {
	std::string url;
	std::string css;
	long long width;
	long long height;
	bool fpsCustom;
	long long fps;
	bool rerouteAudio;
	bool shutdown;
	bool restartWhenActive;
};

constexpr uint32_t kMaxSide = 8192;
constexpr uint32_t kMaxFps = 60;

// Sizes and rates outside what the properties offer are brought into range; without a custom rate the page
// runs at the canvas's rate.
PageConfig pageConfig(const RawSettings &settings, uint32_t canvasFpsNum, uint32_t canvasFpsDen);

// What a change of settings asks of a running page. A new helper carries everything, so a restart comes alone.
struct PageChange {
	bool restart = false;  // a new size or rate: a new pipeline (renegotiating the rate stalls wpesrc)
	bool navigate = false; // a new address
	bool css = false;      // a new style sheet
	bool operator==(const PageChange &other) const
	{
		return restart == other.restart && navigate == other.navigate && css == other.css;
	}
};
PageChange pageChange(const PageConfig &running, const PageConfig &wanted);

// The helper's command line after its path; the address and style sheet follow as its first commands.
std::vector<std::string> helperArguments(const PageConfig &config);

struct HelperHealth {
	int64_t msSinceStart;
	int64_t msSinceLastPacket;
	bool hasFrame;
};

// Generous limits: a loaded machine may take seconds to start WebKit; a healthy helper answers four times a
// second.
constexpr int64_t kFirstFrameLimitMs = 20000;
constexpr int64_t kSilenceLimitMs = 8000;

enum class Verdict { Healthy, NoFirstFrame, Silent };
Verdict judge(const HelperHealth &health);

// Waiting time before the next start after `failures` failed helpers in a row (0: the first start).
int64_t restartDelayMs(int failures);

// A helper that ran this long before it failed was a good one: the back-off starts over.
constexpr int64_t kRanWellMs = 30000;

// Louder than any page can play: a buffer holding such a sample (or one that is not a number) is not sound.
constexpr float kMaxSample = 8.0f;
// The index of the first sample that is not sound, or `count` when all are.
size_t firstImplausibleSample(const float *samples, size_t count);

// Timestamps for a page's audio buffers on OBS's clock: consecutive buffers follow each other to the frame,
// counted from where the stream started, so that they neither drift nor leave gaps. The clock is read again
// only for a new stream, a new rate, or when the count and the clock part by more than kAudioResyncNs (the page
// paused its sound, or the helper fell behind).
struct AudioClock {
	bool running = false;
	uint64_t startNs = 0;
	uint64_t frames = 0; // since startNs
	uint32_t rate = 0;
};
constexpr uint64_t kAudioResyncNs = 100000000;
// The timestamp of a buffer of `frames` at `rate` that arrives at `nowNs`; the clock moves past it.
uint64_t stampAudio(AudioClock &clock, uint64_t nowNs, uint32_t rate, uint32_t frames);

} // namespace page
