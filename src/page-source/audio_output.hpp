#pragma once

// A page's sound into its source: each buffer checked, stamped on OBS's clock without gaps or overlaps, and
// handed to libobs.

#include "page-source/page_rules.hpp"

#include <obs.h>

#include <atomic>

namespace page {

class AudioOutput {
public:
	explicit AudioOutput(obs_source_t *source) : source_(source) {}

	// Whether the page's sound goes to the source at all (the source's reroute_audio).
	void setEnabled(bool enabled) { enabled_ = enabled; }

	// From one thread at a time: `frames` of interleaved float samples. A buffer with a sample no page can
	// make is dropped (logged once per source).
	void output(uint32_t rate, uint32_t channels, const float *samples, uint32_t frames);

	// The next buffer starts a new stream on OBS's clock (a new helper).
	void restart() { clock_ = AudioClock{}; }

private:
	obs_source_t *source_;
	std::atomic<bool> enabled_{false};
	AudioClock clock_;
	bool badSampleLogged_ = false;
};

} // namespace page
