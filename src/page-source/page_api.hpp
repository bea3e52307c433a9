#pragma once

// window.obsstudio as OBS's own browser source gives it to pages: which function each control level allows, the
// JSON of answers and events, and how much of a page's console reaches OBS's log. Pure rules, no libobs.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace page {

// The webpage_control_level setting: OBS's own levels, each with the rights of those below it.
enum class ControlLevel : int { None = 0, ReadObs = 1, ReadUser = 2, Basic = 3, Advanced = 4, All = 5 };
constexpr ControlLevel kDefaultControlLevel = ControlLevel::ReadObs;

enum class ApiCall {
	GetControlLevel,
	GetStatus,
	GetCurrentScene,
	GetScenes,
	GetTransitions,
	GetCurrentTransition,
	SaveReplayBuffer,
	StartReplayBuffer,
	StopReplayBuffer,
	SetCurrentScene,
	SetCurrentTransition,
	StartStreaming,
	StopStreaming,
	StartRecording,
	StopRecording,
	PauseRecording,
	UnpauseRecording,
	StartVirtualcam,
	StopVirtualcam,
};

struct ApiFunction {
	const char *name; // as window.obsstudio names it
	ApiCall call;
	ControlLevel needs;
};

// The function window.obsstudio has under that name; null for any other name.
const ApiFunction *findApiFunction(std::string_view name);
// Whether a page whose setting says `level` may call `function`. A level OBS does not know (below None, above
// All) allows nothing, not even getControlLevel, as in OBS.
bool mayCall(const ApiFunction &function, long long level);
// "ReadUser" and the like, for the log.
const char *levelName(ControlLevel level);

// JSON texts of the answers and events; strings in them as scriptString writes them, keys in the sorted order
// OBS's own JSON gives them.
std::string jsonNames(const std::vector<std::string> &names);
std::string jsonScene(std::string_view name, uint32_t width, uint32_t height);
std::string jsonNamed(std::string_view name); // {"name": ...}
struct OutputStatus {
	bool recording = false;
	bool recordingPaused = false;
	bool replaybuffer = false;
	bool streaming = false;
	bool virtualcam = false;
};
std::string jsonStatus(const OutputStatus &status);
std::string jsonFlag(std::string_view key, bool value); // {"visible": true}

// A token bucket: at most `burst` lines at once and `perSecond` over time. Counts what it refuses.
class LineBudget {
public:
	LineBudget(double burst, double perSecond) : burst_(burst), perSecond_(perSecond), tokens_(burst) {}
	// Whether a line at `nowMs` (a steady clock) may go.
	bool spend(int64_t nowMs);
	// The lines refused since the last call.
	uint64_t takeRefused();

private:
	double burst_;
	double perSecond_;
	double tokens_;
	int64_t lastMs_ = 0;
	bool started_ = false;
	uint64_t refused_ = 0;
};
// A page's console: ten lines at once, five a second.
constexpr double kConsoleBurst = 10;
constexpr double kConsolePerSecond = 5;

// One log line of a page's console text: valid UTF-8 (anything else becomes U+FFFD), control characters and line
// breaks as spaces; past kMaxConsoleBytes it is cut at a character and ends in "...".
constexpr size_t kMaxConsoleBytes = 2000;
std::string consoleLine(std::string_view text);
// The console method the level names ("log", "info", "debug", "warn", "error"); "log" for anything else.
const char *consoleMethod(std::string_view level);

} // namespace page
