#include "page-source/page_rules.hpp"

#include <algorithm>
#include <cmath>

namespace page {

static uint32_t clampTo(long long value, uint32_t low, uint32_t high)
{
	return uint32_t(std::clamp<long long>(value, low, high));
}

PageConfig pageConfig(const RawSettings &settings, uint32_t canvasFpsNum, uint32_t canvasFpsDen)
{
	PageConfig config;
	config.url = settings.url;
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
	return config;
}

PageChange pageChange(const PageConfig &running, const PageConfig &wanted)
{
	PageChange change;
	change.restart = running.width != wanted.width || running.height != wanted.height ||
			 uint64_t(running.fpsNum) * wanted.fpsDen != uint64_t(wanted.fpsNum) * running.fpsDen;
	change.navigate = !change.restart && running.url != wanted.url;
	change.css = !change.restart && running.css != wanted.css;
	return change;
}

std::vector<std::string> helperArguments(const PageConfig &config)
{
	return {std::to_string(config.width), std::to_string(config.height), std::to_string(config.fpsNum),
		std::to_string(config.fpsDen)};
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
