#pragma once

// The page source's rules, free of libobs and processes: what a source's settings ask of its page helper,
// when the watchdog gives up on a helper, and how a page's sound is checked and stamped. The helper shares
// the few that concern the page itself.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
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
	long long controlLevel = 1; // webpage_control_level (ReadObs by default), which the page reads as it loads
	// What OBS mixes at: the helper hands its sound over in this form.
	uint32_t audioRate = 48000;
	uint32_t audioChannels = 2;
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
	bool isLocalFile;
	std::string localFile;
};

// OBS's audio: its rate, and its channel count, which names its speaker layout.
struct AudioFormat {
	uint32_t rate;
	uint32_t channels;
};

constexpr uint32_t kMaxSide = 8192;
constexpr uint32_t kMaxFps = 60;

// Sizes and rates outside what the properties offer are brought into range; without a custom rate the page
// runs at the canvas's rate; a local file is loaded by its file: URL.
PageConfig pageConfig(const RawSettings &settings, uint32_t canvasFpsNum, uint32_t canvasFpsDen, AudioFormat audio);

// The file: URL of an absolute path, every byte outside the unreserved characters and '/' percent-encoded;
// empty for an empty path.
std::string fileUrl(const std::string &path);

// What a change of settings asks of a running page. A new helper carries everything, so a restart comes alone.
struct PageChange {
	// A new size or rate (renegotiating the rate stalls wpesrc), or a new address: a new page helper. WebKit
	// loses the sound of a page loaded after one that played, so each address gets a WebKit of its own. New page
	// permissions load the page again, as OBS's own does, for a page that asked for them as it loaded.
	bool restart = false;
	bool css = false;        // a new style sheet
	bool audioRoute = false; // the sound goes to the source instead of the desktop, or back
	bool operator==(const PageChange &other) const
	{
		return restart == other.restart && css == other.css && audioRoute == other.audioRoute;
	}
};
PageChange pageChange(const PageConfig &running, const PageConfig &wanted);

// The helper's command line after its path: width, height, frame rate, audio rate and channels. The address,
// style sheet, audio route and visibility follow as its first commands.
std::vector<std::string> helperArguments(const PageConfig &config);

// The code point of the UTF-8 sequence at text[at], and its length; U+FFFD and 1 for a byte that starts no
// valid sequence (overlong forms, surrogates and sequences cut short included).
uint32_t decodeUtf8(std::string_view text, size_t at, size_t &length);
// Whether `code` is a control character (C0, DEL, C1) or a line or paragraph separator.
inline bool isControl(uint32_t code)
{
	return code < 0x20 || (code >= 0x7f && code < 0xa0) || code == 0x2028 || code == 0x2029;
}

// `text` as a JavaScript string literal, quotes included: every character arrives as it was, and text that is
// not valid UTF-8 arrives with U+FFFD in place of each bad byte. It is plain ASCII, and JSON too.
std::string scriptString(const std::string &text);

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
