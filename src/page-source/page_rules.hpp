#pragma once

// The page source's rules, free of libobs and processes: what a source's settings ask of its page helper,
// and when the watchdog gives up on a helper.

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

// A new size or rate needs a new pipeline (a rate change by renegotiation stalls wpesrc).
bool needsNewPipeline(const PageConfig &running, const PageConfig &wanted);

// The helper's command line after its path.
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

} // namespace page
