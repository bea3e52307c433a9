#include "page-source/page_rules.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace page {

static uint32_t clampTo(long long value, uint32_t low, uint32_t high)
{
	return uint32_t(std::clamp<long long>(value, low, high));
}

PageConfig pageConfig(const RawSettings &settings, uint32_t canvasFpsNum, uint32_t canvasFpsDen, AudioFormat audio)
{
	PageConfig config;
	config.url = settings.isLocalFile ? fileUrl(settings.localFile) : settings.url;
	config.css = settings.css;
	config.width = clampTo(settings.width, 1, kMaxSide);
	config.height = clampTo(settings.height, 1, kMaxSide);
	if (settings.fpsCustom || canvasFpsNum == 0 || canvasFpsDen == 0) {
		config.fpsNum = clampTo(settings.fps, 1, kMaxFps);
		config.fpsDen = 1;
	} else {
		config.fpsNum = canvasFpsNum;
		config.fpsDen = canvasFpsDen;
	}
	config.rerouteAudio = settings.rerouteAudio;
	config.shutdown = settings.shutdown;
	config.restartWhenActive = settings.restartWhenActive;
	config.audioRate = audio.rate;
	config.audioChannels = audio.channels;
	return config;
}

std::string fileUrl(const std::string &path)
{
	if (path.empty())
		return std::string();
	static const char digits[] = "0123456789ABCDEF";
	std::string url = "file://";
	for (const char c : path) {
		const auto byte = static_cast<unsigned char>(c);
		if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
		    c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
			url += c;
		} else {
			url += '%';
			url += digits[byte >> 4];
			url += digits[byte & 15];
		}
	}
	return url;
}

PageChange pageChange(const PageConfig &running, const PageConfig &wanted)
{
	PageChange change;
	change.restart = running.width != wanted.width || running.height != wanted.height ||
			 uint64_t(running.fpsNum) * wanted.fpsDen != uint64_t(wanted.fpsNum) * running.fpsDen ||
			 running.url != wanted.url || running.controlLevel != wanted.controlLevel;
	change.css = !change.restart && running.css != wanted.css;
	change.audioRoute = !change.restart && running.rerouteAudio != wanted.rerouteAudio;
	return change;
}

std::vector<std::string> helperArguments(const PageConfig &config)
{
	return {std::to_string(config.width),  std::to_string(config.height),    std::to_string(config.fpsNum),
		std::to_string(config.fpsDen), std::to_string(config.audioRate), std::to_string(config.audioChannels)};
}

uint32_t decodeUtf8(std::string_view text, size_t at, size_t &length)
{
	const auto byte = [&](size_t i) {
		return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0u;
	};
	const uint32_t first = byte(0);
	length = 1;
	if (first < 0x80)
		return first;
	size_t count = 0;
	uint32_t code = 0;
	uint32_t least = 0;
	if ((first & 0xe0) == 0xc0) {
		count = 2;
		code = first & 0x1f;
		least = 0x80;
	} else if ((first & 0xf0) == 0xe0) {
		count = 3;
		code = first & 0x0f;
		least = 0x800;
	} else if ((first & 0xf8) == 0xf0) {
		count = 4;
		code = first & 0x07;
		least = 0x10000;
	} else {
		return 0xfffd;
	}
	for (size_t i = 1; i < count; ++i) {
		if ((byte(i) & 0xc0) != 0x80)
			return 0xfffd;
		code = code << 6 | (byte(i) & 0x3f);
	}
	if (code < least || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
		return 0xfffd;
	length = count;
	return code;
}

std::string scriptString(const std::string &text)
{
	// Plain ASCII out: whatever reads the script, nothing in it depends on an encoding.
	std::string out = "\"";
	out.reserve(text.size() + 2);
	char escape[16];
	for (size_t at = 0; at < text.size();) {
		size_t length = 1;
		const uint32_t code = decodeUtf8(text, at, length);
		at += length;
		if (code >= 0x20 && code < 0x7f && code != '"' && code != '\\') {
			out += char(code);
		} else if (code < 0x10000) {
			snprintf(escape, sizeof escape, "\\u%04x", unsigned(code));
			out += escape;
		} else {
			const uint32_t high = 0xd800 + ((code - 0x10000) >> 10);
			const uint32_t low = 0xdc00 + ((code - 0x10000) & 0x3ff);
			snprintf(escape, sizeof escape, "\\u%04x\\u%04x", unsigned(high), unsigned(low));
			out += escape;
		}
	}
	return out + "\"";
}

Verdict judge(const HelperHealth &health)
{
	if (!health.hasFrame && health.msSinceStart > kFirstFrameLimitMs)
		return Verdict::NoFirstFrame;
	if (health.msSinceLastPacket > kSilenceLimitMs)
		return Verdict::Silent;
	return Verdict::Healthy;
}

int64_t restartDelayMs(int failures)
{
	if (failures <= 0)
		return 0;
	return std::min<int64_t>(500LL << std::min(failures - 1, 6), 30000);
}

size_t firstImplausibleSample(const float *samples, size_t count)
{
	for (size_t i = 0; i < count; ++i)
		if (!(std::fabs(samples[i]) <= kMaxSample))
			return i;
	return count;
}

uint64_t stampAudio(AudioClock &clock, uint64_t nowNs, uint32_t rate, uint32_t frames)
{
	if (clock.running && clock.rate == rate) {
		// In two parts, so that days of sound do not overflow.
		const uint64_t expected = clock.startNs + clock.frames / rate * 1000000000ULL +
					  clock.frames % rate * 1000000000ULL / rate;
		if (expected <= nowNs + kAudioResyncNs && nowNs <= expected + kAudioResyncNs) {
			clock.frames += frames;
			return expected;
		}
	}
	clock.running = true;
	clock.startNs = nowNs;
	clock.frames = frames;
	clock.rate = rate;
	return nowNs;
}

} // namespace page
