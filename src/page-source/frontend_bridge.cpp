#include "page-source/frontend_bridge.hpp"

#include "page-source/page_rules.hpp"
#include "page-source/page_source.hpp"

#include <obs-frontend-api.h>
#include <obs.hpp>

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace page {

namespace {

std::mutex pagesLock;
std::vector<PageSource *> pages;

// A front-end list of sources, released with it.
struct SourceList {
	obs_frontend_source_list list = {};
	SourceList() = default;
	SourceList(const SourceList &) = delete;
	SourceList &operator=(const SourceList &) = delete;
	~SourceList() { obs_frontend_source_list_free(&list); }

	std::vector<std::string> names() const
	{
		std::vector<std::string> found;
		for (size_t i = 0; i < list.sources.num; ++i) {
			const char *name = obs_source_get_name(list.sources.array[i]);
			found.emplace_back(name ? name : "");
		}
		return found;
	}
};

std::vector<std::string> sceneNames()
{
	SourceList scenes;
	obs_frontend_get_scenes(&scenes.list);
	return scenes.names();
}

std::vector<std::string> transitionNames()
{
	SourceList transitions;
	obs_frontend_get_transitions(&transitions.list);
	return transitions.names();
}

// OBS's current scene (the program's in studio mode), or nothing.
std::optional<std::string> currentSceneJson()
{
	OBSSourceAutoRelease scene = obs_frontend_get_current_scene();
	const char *name = scene ? obs_source_get_name(scene) : nullptr;
	if (!name)
		return std::nullopt;
	return jsonScene(name, obs_source_get_width(scene), obs_source_get_height(scene));
}

std::optional<std::string> currentTransitionName()
{
	OBSSourceAutoRelease transition = obs_frontend_get_current_transition();
	const char *name = transition ? obs_source_get_name(transition) : nullptr;
	if (!name)
		return std::nullopt;
	return std::string(name);
}

void setCurrentScene(PageSource &page, const std::string &name)
{
	OBSSourceAutoRelease source = obs_get_source_by_name(name.c_str());
	if (!source)
		page.logAboutPage(LOG_WARNING, "tried to switch to scene '" + name + "', which does not exist");
	else if (!obs_source_is_scene(source))
		page.logAboutPage(LOG_WARNING, "tried to switch to '" + name + "', which is not a scene");
	else
		obs_frontend_set_current_scene(source);
}

void setCurrentTransition(PageSource &page, const std::string &name)
{
	SourceList transitions;
	obs_frontend_get_transitions(&transitions.list);
	for (size_t i = 0; i < transitions.list.sources.num; ++i) {
		obs_source_t *transition = transitions.list.sources.array[i];
		const char *found = obs_source_get_name(transition);
		if (found && name == found) {
			obs_frontend_set_current_transition(transition);
			return;
		}
	}
	page.logAboutPage(LOG_WARNING,
			  "tried to change the current transition to '" + name + "', which does not exist");
}

// What OBS's own browser source does for the call, and the JSON its callback gets; nothing when OBS's gives the
// callback nothing (getCurrentScene without a scene).
std::optional<std::string> perform(PageSource &page, ApiCall call, const std::string &argument, long long level)
{
	switch (call) {
	case ApiCall::GetControlLevel:
		return std::to_string(level);
	case ApiCall::GetStatus: {
		OutputStatus status;
		status.recording = obs_frontend_recording_active();
		status.recordingPaused = obs_frontend_recording_paused();
		status.replaybuffer = obs_frontend_replay_buffer_active();
		status.streaming = obs_frontend_streaming_active();
		status.virtualcam = obs_frontend_virtualcam_active();
		return jsonStatus(status);
	}
	case ApiCall::GetCurrentScene:
		return currentSceneJson();
	case ApiCall::GetScenes:
		return jsonNames(sceneNames());
	case ApiCall::GetTransitions:
		return jsonNames(transitionNames());
	case ApiCall::GetCurrentTransition: {
		const std::optional<std::string> name = currentTransitionName();
		return name ? scriptString(*name) : "null";
	}
	case ApiCall::SaveReplayBuffer:
		obs_frontend_replay_buffer_save();
		break;
	case ApiCall::StartReplayBuffer:
		obs_frontend_replay_buffer_start();
		break;
	case ApiCall::StopReplayBuffer:
		obs_frontend_replay_buffer_stop();
		break;
	case ApiCall::SetCurrentScene:
		setCurrentScene(page, argument);
		break;
	case ApiCall::SetCurrentTransition:
		setCurrentTransition(page, argument);
		break;
	case ApiCall::StartStreaming:
		obs_frontend_streaming_start();
		break;
	case ApiCall::StopStreaming:
		obs_frontend_streaming_stop();
		break;
	case ApiCall::StartRecording:
		obs_frontend_recording_start();
		break;
	case ApiCall::StopRecording:
		obs_frontend_recording_stop();
		break;
	case ApiCall::PauseRecording:
		obs_frontend_recording_pause(true);
		break;
	case ApiCall::UnpauseRecording:
		obs_frontend_recording_pause(false);
		break;
	case ApiCall::StartVirtualcam:
		obs_frontend_start_virtualcam();
		break;
	case ApiCall::StopVirtualcam:
		obs_frontend_stop_virtualcam();
		break;
	}
	return std::string("null");
}

struct PendingCall {
	OBSWeakSourceAutoRelease source;
	ApiCall call;
	std::string id;
	std::string argument;
	long long level;
};

void performPending(void *data)
{
	const std::unique_ptr<PendingCall> pending(static_cast<PendingCall *>(data));
	OBSSourceAutoRelease source = obs_weak_source_get_source(pending->source);
	auto *page = source ? static_cast<PageSource *>(obs_obj_get_data(source)) : nullptr;
	if (!page)
		return; // the source went away meanwhile
	page->callDone();
	const std::optional<std::string> json = perform(*page, pending->call, pending->argument, pending->level);
	if (json && !pending->id.empty())
		page->answer(pending->id, *json);
}

void toEveryPage(const char *name, const std::string &detail)
{
	std::lock_guard<std::mutex> hold(pagesLock);
	for (PageSource *page : pages)
		page->dispatch(name, detail);
}

// OBS's events that pages get without a detail, as OBS's own browser source names them.
constexpr std::pair<obs_frontend_event, const char *> kPlainEvents[] = {
	{OBS_FRONTEND_EVENT_STREAMING_STARTING, "obsStreamingStarting"},
	{OBS_FRONTEND_EVENT_STREAMING_STARTED, "obsStreamingStarted"},
	{OBS_FRONTEND_EVENT_STREAMING_STOPPING, "obsStreamingStopping"},
	{OBS_FRONTEND_EVENT_STREAMING_STOPPED, "obsStreamingStopped"},
	{OBS_FRONTEND_EVENT_RECORDING_STARTING, "obsRecordingStarting"},
	{OBS_FRONTEND_EVENT_RECORDING_STARTED, "obsRecordingStarted"},
	{OBS_FRONTEND_EVENT_RECORDING_PAUSED, "obsRecordingPaused"},
	{OBS_FRONTEND_EVENT_RECORDING_UNPAUSED, "obsRecordingUnpaused"},
	{OBS_FRONTEND_EVENT_RECORDING_STOPPING, "obsRecordingStopping"},
	{OBS_FRONTEND_EVENT_RECORDING_STOPPED, "obsRecordingStopped"},
	{OBS_FRONTEND_EVENT_REPLAY_BUFFER_STARTING, "obsReplaybufferStarting"},
	{OBS_FRONTEND_EVENT_REPLAY_BUFFER_STARTED, "obsReplaybufferStarted"},
	{OBS_FRONTEND_EVENT_REPLAY_BUFFER_SAVED, "obsReplaybufferSaved"},
	{OBS_FRONTEND_EVENT_REPLAY_BUFFER_STOPPING, "obsReplaybufferStopping"},
	{OBS_FRONTEND_EVENT_REPLAY_BUFFER_STOPPED, "obsReplaybufferStopped"},
	{OBS_FRONTEND_EVENT_VIRTUALCAM_STARTED, "obsVirtualcamStarted"},
	{OBS_FRONTEND_EVENT_VIRTUALCAM_STOPPED, "obsVirtualcamStopped"},
	{OBS_FRONTEND_EVENT_EXIT, "obsExit"},
};

// As OBS's own browser source names and fills its events.
void onFrontendEvent(obs_frontend_event event, void *)
{
	for (const auto &[plain, name] : kPlainEvents)
		if (event == plain)
			return toEveryPage(name, "null");
	switch (event) {
	case OBS_FRONTEND_EVENT_SCENE_CHANGED:
		if (const std::optional<std::string> scene = currentSceneJson())
			toEveryPage("obsSceneChanged", *scene);
		return;
	case OBS_FRONTEND_EVENT_SCENE_LIST_CHANGED:
		return toEveryPage("obsSceneListChanged", jsonNames(sceneNames()));
	case OBS_FRONTEND_EVENT_TRANSITION_CHANGED:
		if (const std::optional<std::string> name = currentTransitionName())
			toEveryPage("obsTransitionChanged", jsonNamed(*name));
		return;
	case OBS_FRONTEND_EVENT_TRANSITION_LIST_CHANGED:
		return toEveryPage("obsTransitionListChanged", jsonNames(transitionNames()));
	default:
		return;
	}
}

} // namespace

void addPage(PageSource *page)
{
	std::lock_guard<std::mutex> hold(pagesLock);
	pages.push_back(page);
}

void removePage(PageSource *page)
{
	std::lock_guard<std::mutex> hold(pagesLock);
	pages.erase(std::remove(pages.begin(), pages.end(), page), pages.end());
}

void listenToFrontend()
{
	// Never removed: OBS sends its last event, obsExit, before it unloads modules, as OBS's own browser source
	// relies on too.
	obs_frontend_add_event_callback(onFrontendEvent, nullptr);
}

void callOnUiThread(obs_source_t *source, ApiCall call, std::string id, std::string argument, long long level)
{
	auto *pending = new PendingCall{OBSWeakSourceAutoRelease(obs_source_get_weak_source(source)), call,
					std::move(id), std::move(argument), level};
	obs_queue_task(OBS_TASK_UI, performPending, pending, false);
}

} // namespace page
