#pragma once

// One browser_source: its settings, its page helper (through a supervisor), its sound and the newest frame
// drawn. page_type registers the type and forwards libobs's calls here.

#include "page-source/audio_output.hpp"
#include "page-source/frame_reader.hpp"
#include "page-source/helper_supervisor.hpp"
#include "page-source/page_rules.hpp"

#include <obs.h>

#include <atomic>
#include <mutex>
#include <string>

namespace page {

class PageSource : public HelperClient {
public:
	// Null, logged, when the source cannot supervise a helper at all (no thread, no eventfd).
	static PageSource *create(obs_data_t *settings, obs_source_t *source, const std::string &helperPath);
	~PageSource() override;
	PageSource(const PageSource &) = delete;
	PageSource &operator=(const PageSource &) = delete;

	void update(obs_data_t *settings);
	void setShown(bool shown);
	// The source became active (shown on the program).
	void activate();
	// The refresh button and hotkey: the page loads again, bypassing the cache.
	void refresh();
	uint32_t width();
	uint32_t height();
	// Graphics thread.
	void render();

private:
	PageSource(obs_data_t *settings, obs_source_t *source, const std::string &helperPath);

	// HelperClient, on the supervisor's thread.
	HelperLaunch launch() override;
	void helperStarted(std::shared_ptr<FrameArea> area) override;
	void helperEnded(bool failed) override;
	void received(const Message &message) override;

	// Tells the supervisor whether a helper should run now.
	void updateWanted();
	// Where the page's sound goes: the source's mixer entry, or the desktop.
	void routeAudio(bool toSource);

	obs_source_t *source_;
	obs_hotkey_id refreshHotkey_ = OBS_INVALID_HOTKEY_ID;
	std::mutex lock_; // config_; never held while calling the supervisor
	PageConfig config_;
	std::atomic<bool> shown_{false};

	AudioOutput audio_;
	FrameReader frames_;
	HelperSupervisor supervisor_; // last: its thread calls into the members above
};

} // namespace page
