#include "page-source/page_api.hpp"

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

// The UTF-8 sequence at `at`, or 0 when none valid starts there.
size_t validSequence(std::string_view text, size_t at)
{
	const auto byte = [&](size_t i) {
		return static_cast<unsigned char>(text[at + i]);
	};
	const unsigned char lead = byte(0);
	size_t length = 0;
	unsigned char low = 0x80;
	unsigned char high = 0xbf;
	if (lead < 0x80)
		return 1;
	if (lead >= 0xc2 && lead <= 0xdf) {
		length = 2;
	} else if (lead >= 0xe0 && lead <= 0xef) {
		length = 3;
		low = lead == 0xe0 ? 0xa0 : 0x80;  // no overlong forms
		high = lead == 0xed ? 0x9f : 0xbf; // no surrogates
	} else if (lead >= 0xf0 && lead <= 0xf4) {
		length = 4;
		low = lead == 0xf0 ? 0x90 : 0x80;
		high = lead == 0xf4 ? 0x8f : 0xbf; // nothing past U+10FFFF
	} else {
		return 0;
	}
	if (at + length > text.size() || byte(1) < low || byte(1) > high)
		return 0;
	for (size_t i = 2; i < length; ++i)
		if (byte(i) < 0x80 || byte(i) > 0xbf)
			return 0;
	return length;
}

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

std::string jsonString(std::string_view utf8)
{
	std::string out = "\"";
	for (size_t at = 0; at < utf8.size();) {
		const size_t length = validSequence(utf8, at);
		if (length == 0) {
			out += "\\ufffd";
			++at;
			continue;
		}
		const std::string_view sequence = utf8.substr(at, length);
		const auto c = static_cast<unsigned char>(sequence[0]);
		if (c == '"' || c == '\\') {
			out += '\\';
			out += char(c);
		} else if (c < 0x20) {
			char escaped[8];
			snprintf(escaped, sizeof escaped, "\\u%04x", c);
			out += escaped;
		} else if (sequence == "\xe2\x80\xa8" || sequence == "\xe2\x80\xa9") {
			// Line terminators in the scripts of older JavaScript engines.
			out += sequence == "\xe2\x80\xa8" ? "\\u2028" : "\\u2029";
		} else {
			out += sequence;
		}
		at += length;
	}
	return out + "\"";
}

std::string jsonNames(const std::vector<std::string> &names)
{
	std::string out = "[";
	for (const std::string &name : names)
		out += (out.size() > 1 ? "," : "") + jsonString(name);
	return out + "]";
}

std::string jsonScene(std::string_view name, uint32_t width, uint32_t height)
{
	return "{\"name\":" + jsonString(name) + ",\"width\":" + std::to_string(width) +
	       ",\"height\":" + std::to_string(height) + "}";
}

std::string jsonNamed(std::string_view name)
{
	return "{\"name\":" + jsonString(name) + "}";
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
	return "{" + jsonString(key) + ":" + (value ? "true" : "false") + "}";
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
		const size_t length = validSequence(text, at);
		const std::string_view piece = length ? text.substr(at, length) : "\xef\xbf\xbd";
		if (out.size() + piece.size() > kMaxConsoleBytes) {
			out += "...";
			break;
		}
		const auto c = static_cast<unsigned char>(piece[0]);
		const bool control = c < 0x20 || c == 0x7f ||
				     (c == 0xc2 && static_cast<unsigned char>(piece[1]) < 0xa0) ||
				     piece == "\xe2\x80\xa8" || piece == "\xe2\x80\xa9";
		out += control ? std::string_view(" ") : piece;
		at += length ? length : 1;
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
