#include "page-source/audio_output.hpp"

#include "page-source/page_log.hpp"

#include <util/platform.h>

namespace page {

namespace {

// libobs's layouts by channel count; none for counts it has no layout for.
speaker_layout layoutOf(uint32_t channels)
{
	switch (channels) {
	case 1:
		return SPEAKERS_MONO;
	case 2:
		return SPEAKERS_STEREO;
	case 3:
		return SPEAKERS_2POINT1;
	case 4:
		return SPEAKERS_4POINT0;
	case 5:
		return SPEAKERS_4POINT1;
	case 6:
		return SPEAKERS_5POINT1;
	case 8:
		return SPEAKERS_7POINT1;
	default:
		return SPEAKERS_UNKNOWN;
	}
}

} // namespace

void AudioOutput::output(uint32_t rate, uint32_t channels, const float *samples, uint32_t frames)
{
	// A libobs whose audio was never started (a host with video only) has nowhere to put it.
	if (!enabled_ || frames == 0 || !obs_get_audio())
		return;
	const speaker_layout layout = layoutOf(channels);
	const size_t count = size_t(frames) * channels;
	const size_t bad = firstImplausibleSample(samples, count);
	if (layout == SPEAKERS_UNKNOWN || bad != count) {
		if (badSampleLogged_)
			return;
		if (bad != count)
			page_log(LOG_WARNING, "dropped an audio buffer of %u frames with a sample of %g", frames,
				 double(samples[bad]));
		else
			page_log(LOG_WARNING, "dropped audio of %u channels, a layout OBS does not have", channels);
		badSampleLogged_ = true;
		return;
	}
	obs_source_audio audio = {};
	audio.data[0] = reinterpret_cast<const uint8_t *>(samples);
	audio.frames = frames;
	audio.speakers = layout;
	audio.format = AUDIO_FORMAT_FLOAT;
	audio.samples_per_sec = rate;
	audio.timestamp = stampAudio(clock_, os_gettime_ns(), rate, frames);
	obs_source_output_audio(source_, &audio);
}

} // namespace page
