#include "page-source/page_api.hpp"

#include "page-source/page_rules.hpp"

#include <algorithm>
#include <cstdio>

namespace page {

namespace {

constexpr ApiFunction kFunctions[] = {
	{"getControlLevel", ApiCall::GetControlLevel, ControlLevel::None},
	{"getStatus", ApiCall::GetStatus, ControlLevel::ReadObs},
	{"getCurrentScene", ApiCall::GetCurrentScene, ControlLevel::ReadUser},
	{"getScenes", ApiCall::GetScenes, ControlLevel::ReadUser},
	{"getTransitions", ApiCall::GetTransitions, ControlLevel::ReadUser},
	{"getCurrentTransition", ApiCall::GetCurrentTransition, ControlLevel::ReadUser},
	{"saveReplayBuffer", ApiCall::SaveReplayBuffer, ControlLevel::Basic},
	{"startReplayBuffer", ApiCall::StartReplayBuffer, ControlLevel::Advanced},
	{"stopReplayBuffer", ApiCall::StopReplayBuffer, ControlLevel::Advanced},
	{"setCurrentScene", ApiCall::SetCurrentScene, ControlLevel::Advanced},
	{"setCurrentTransition", ApiCall::SetCurrentTransition, ControlLevel::Advanced},
	{"startStreaming", ApiCall::StartStreaming, ControlLevel::All},
	{"stopStreaming", ApiCall::StopStreaming, ControlLevel::All},
	{"startRecording", ApiCall::StartRecording, ControlLevel::All},
	{"stopRecording", ApiCall::StopRecording, ControlLevel::All},
	{"pauseRecording", ApiCall::PauseRecording, ControlLevel::All},
	{"unpauseRecording", ApiCall::UnpauseRecording, ControlLevel::All},
	{"startVirtualcam", ApiCall::StartVirtualcam, ControlLevel::All},
	{"stopVirtualcam", ApiCall::StopVirtualcam, ControlLevel::All},
};

} // namespace

const ApiFunction *findApiFunction(std::string_view name)
{
	for (const ApiFunction &function : kFunctions)
		if (name == function.name)
			return &function;
	return nullptr;
}

bool mayCall(const ApiFunction &function, long long level)
{
	return level >= int(ControlLevel::None) && level <= int(ControlLevel::All) && level >= int(function.needs);
}

const char *levelName(ControlLevel level)
{
	switch (level) {
	case ControlLevel::None:
		return "None";
	case ControlLevel::ReadObs:
		return "ReadObs";
	case ControlLevel::ReadUser:
		return "ReadUser";
	case ControlLevel::Basic:
		return "Basic";
	case ControlLevel::Advanced:
		return "Advanced";
	case ControlLevel::All:
		return "All";
	}
	return "?";
}

std::string jsonNames(const std::vector<std::string> &names)
{
	std::string out = "[";
	for (const std::string &name : names)
		out += (out.size() > 1 ? "," : "") + scriptString(std::string(name));
	return out + "]";
}

std::string jsonScene(std::string_view name, uint32_t width, uint32_t height)
{
	return "{\"height\":" + std::to_string(height) + ",\"name\":" + scriptString(std::string(name)) +
	       ",\"width\":" + std::to_string(width) + "}";
}

std::string jsonNamed(std::string_view name)
{
	return "{\"name\":" + scriptString(std::string(name)) + "}";
}

std::string jsonStatus(const OutputStatus &status)
{
	const auto flag = [](bool value) {
		return value ? "true" : "false";
	};
	return std::string("{\"recording\":") + flag(status.recording) +
	       ",\"recordingPaused\":" + flag(status.recordingPaused) +
	       ",\"replaybuffer\":" + flag(status.replaybuffer) + ",\"streaming\":" + flag(status.streaming) +
	       ",\"virtualcam\":" + flag(status.virtualcam) + "}";
}

std::string jsonFlag(std::string_view key, bool value)
{
	return "{" + scriptString(std::string(key)) + ":" + (value ? "true" : "false") + "}";
}

bool LineBudget::spend(int64_t nowMs)
{
	if (started_ && nowMs > lastMs_)
		tokens_ = std::min(burst_, tokens_ + double(nowMs - lastMs_) * perSecond_ / 1000.0);
	if (!started_ || nowMs > lastMs_)
		lastMs_ = nowMs;
	started_ = true;
	if (tokens_ < 1.0) {
		++refused_;
		return false;
	}
	tokens_ -= 1.0;
	return true;
}

uint64_t LineBudget::takeRefused()
{
	const uint64_t refused = refused_;
	refused_ = 0;
	return refused;
}

std::string consoleLine(std::string_view text)
{
	std::string out;
	for (size_t at = 0; at < text.size();) {
		size_t length = 1;
		const uint32_t code = decodeUtf8(text, at, length);
		const bool bad = code == 0xfffd && length == 1;
		const std::string_view piece = bad ? "\xef\xbf\xbd" : isControl(code) ? " " : text.substr(at, length);
		if (out.size() + piece.size() > kMaxConsoleBytes) {
			out += "...";
			break;
		}
		out += piece;
		at += length;
	}
	return out;
}

const char *consoleMethod(std::string_view level)
{
	for (const char *method : {"log", "info", "debug", "warn", "error"})
		if (level == method)
			return method;
	return "log";
}

} // namespace page
