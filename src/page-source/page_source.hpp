#pragma once

// One browser_source: its settings, its page helper (through a supervisor), its sound and the newest frame
// drawn. page_type registers the type and forwards libobs's calls here.

#include "page-source/audio_output.hpp"
#include "page-source/frame_reader.hpp"
#include "page-source/helper_supervisor.hpp"
#include "page-source/page_api.hpp"
#include "page-source/page_rules.hpp"

#include <obs.h>
#include <obs.hpp>

#include <atomic>
#include <bitset>
#include <mutex>
#include <string>
#include <string_view>

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
	// The source became active (shown on the program), or stopped being.
	void activate();
	void deactivate();
	// What OBS's Interact window sends, for the page.
	void input(const InputEvent &event);
	// The refresh button and hotkey: the page loads again, bypassing the cache.
	void refresh();
	uint32_t width();
	uint32_t height();
	// Graphics thread.
	void render();

	// window.obsstudio, from any thread: the JSON for the page's callback `id`, and an event for its window.
	void answer(std::string_view id, std::string_view json);
	void dispatch(std::string_view name, std::string_view json);
	// A call the page made has been performed on the UI thread.
	void callDone();
	// A line about what the page did, after the source's name; within the page's share of the log.
	void logAboutPage(int level, const std::string &text);

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
	// From the page, on the supervisor's thread.
	void pageCalled(const Message &message);
	void pageLogged(const Message &message);
	std::string name();

	obs_source_t *source_;
	obs_hotkey_id refreshHotkey_ = OBS_INVALID_HOTKEY_ID;
	std::mutex lock_; // config_; never held while calling the supervisor
	PageConfig config_;
	std::atomic<bool> shown_{false};

	std::string name_; // under lock_, kept by renamed_
	OBSSignal renamed_;
	std::mutex logLock_; // the two below
	LineBudget logBudget_{kConsoleBurst, kConsolePerSecond};
	uint64_t droppedByPage_ = 0; // console lines the page's side dropped, not yet told
	std::atomic<int> pendingCalls_{0};
	// Supervisor's thread only.
	std::bitset<32> refusalLogged_; // by ApiCall
	bool overflowLogged_ = false;

	AudioOutput audio_;
	FrameReader frames_;
	HelperSupervisor supervisor_; // last: its thread calls into the members above
};

} // namespace page
