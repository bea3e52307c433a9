#include "page-source/page_source.hpp"

#include "page-source/frontend_bridge.hpp"
#include "page-source/page_log.hpp"

#include <obs-module.h>

#include <chrono>
#include <memory>

namespace page {

namespace {

// Calls a page may have waiting for OBS's UI thread; more are dropped, so that a page calling faster than OBS
// answers builds up nothing.
constexpr int kMaxPendingCalls = 32;
// Input waiting for a helper that does not read it is dropped past this many commands.
constexpr size_t kMaxQueuedInput = 64;

int64_t steadyMs()
{
	return std::chrono::duration_cast<std::chrono::milliseconds>(
		       std::chrono::steady_clock::now().time_since_epoch())
		.count();
}

PageConfig configOf(obs_data_t *settings)
{
	RawSettings raw;
	raw.url = obs_data_get_string(settings, "url");
	raw.css = obs_data_get_string(settings, "css");
	raw.width = obs_data_get_int(settings, "width");
	raw.height = obs_data_get_int(settings, "height");
	raw.fpsCustom = obs_data_get_bool(settings, "fps_custom");
	raw.fps = obs_data_get_int(settings, "fps");
	raw.rerouteAudio = obs_data_get_bool(settings, "reroute_audio");
	raw.shutdown = obs_data_get_bool(settings, "shutdown");
	raw.restartWhenActive = obs_data_get_bool(settings, "restart_when_active");
	raw.isLocalFile = obs_data_get_bool(settings, "is_local_file");
	raw.localFile = obs_data_get_string(settings, "local_file");
	obs_video_info video = {};
	if (!obs_get_video_info(&video))
		video.fps_num = video.fps_den = 0;
	obs_audio_info audio = {};
	AudioFormat format = {48000, 2};
	if (obs_get_audio_info(&audio) && audio.samples_per_sec > 0)
		format = {audio.samples_per_sec, uint32_t(get_audio_channels(audio.speakers))};
	if (format.channels == 0)
		format.channels = 2;
	PageConfig config = pageConfig(raw, video.fps_num, video.fps_den, format);
	config.controlLevel = obs_data_get_int(settings, "webpage_control_level");
	return config;
}

} // namespace

PageSource *PageSource::create(obs_data_t *settings, obs_source_t *source, const std::string &helperPath)
{
	std::unique_ptr<PageSource> page(new PageSource(settings, source, helperPath));
	if (!page->supervisor_.start())
		return nullptr;
	// OBS's own browser source offers the same hotkey under this name: a collection's bindings carry over.
	page->refreshHotkey_ = obs_hotkey_register_source(
		source, "ObsBrowser.Refresh", obs_module_text("RefreshNoCache"),
		[](void *data, obs_hotkey_id, obs_hotkey_t *, bool pressed) {
			if (pressed)
				static_cast<PageSource *>(data)->refresh();
		},
		page.get());
	return page.release();
}

PageSource::PageSource(obs_data_t *settings, obs_source_t *source, const std::string &helperPath)
	: source_(source),
	  config_(configOf(settings)),
	  name_(obs_source_get_name(source) ? obs_source_get_name(source) : ""),
	  renamed_(
		  obs_source_get_signal_handler(source), "rename",
		  [](void *data, calldata_t *call) {
			  auto *page = static_cast<PageSource *>(data);
			  const char *name = calldata_string(call, "new_name");
			  std::lock_guard<std::mutex> hold(page->lock_);
			  page->name_ = name ? name : "";
		  },
		  this),
	  audio_(source),
	  supervisor_(helperPath, *this)
{
	routeAudio(config_.rerouteAudio);
	updateWanted();
	addPage(this);
}

PageSource::~PageSource()
{
	removePage(this);
	if (refreshHotkey_ != OBS_INVALID_HOTKEY_ID)
		obs_hotkey_unregister(refreshHotkey_);
	supervisor_.stop();
}

void PageSource::routeAudio(bool toSource)
{
	audio_.setEnabled(toSource);
	// Played on the desktop, the page has no place in OBS's mixer, as with OBS's own browser source.
	obs_source_set_audio_active(source_, toSource);
}

void PageSource::update(obs_data_t *settings)
{
	const PageConfig wanted = configOf(settings);
	PageChange change;
	{
		std::lock_guard<std::mutex> hold(lock_);
		change = pageChange(config_, wanted);
		config_ = wanted;
	}
	routeAudio(wanted.rerouteAudio);
	updateWanted();
	if (change.restart)
		supervisor_.restart();
	if (change.css)
		supervisor_.send({Packet::Css, wanted.css, false});
	if (change.audioRoute)
		supervisor_.send({Packet::AudioToModule, {}, wanted.rerouteAudio});
}

void PageSource::setShown(bool shown)
{
	shown_ = shown;
	updateWanted();
	supervisor_.send({Packet::Shown, {}, shown});
	bool shutdown = false;
	{
		std::lock_guard<std::mutex> hold(lock_);
		shutdown = config_.shutdown;
	}
	// A page shut down when hidden is gone, and a new one starts when shown, as in OBS's own.
	if (!shutdown)
		dispatch("obsSourceVisibleChanged", jsonFlag("visible", shown));
}

void PageSource::updateWanted()
{
	bool shutdown = false;
	{
		std::lock_guard<std::mutex> hold(lock_);
		shutdown = config_.shutdown;
	}
	supervisor_.setWanted(!(shutdown && !shown_));
}

void PageSource::activate()
{
	bool reload = false;
	{
		std::lock_guard<std::mutex> hold(lock_);
		reload = config_.restartWhenActive;
	}
	if (reload)
		refresh();
	dispatch("obsSourceActiveChanged", jsonFlag("active", true));
}

void PageSource::deactivate()
{
	dispatch("obsSourceActiveChanged", jsonFlag("active", false));
}

void PageSource::input(const InputEvent &event)
{
	PacketBytes packet;
	if (encodeInput(event, packet))
		supervisor_.send(std::move(packet), kMaxQueuedInput);
}

void PageSource::answer(std::string_view id, std::string_view json)
{
	PacketBytes packet;
	if (encodeRecord(Packet::Answer, {id, {}, json, 0}, packet))
		supervisor_.send(std::move(packet));
	else
		logAboutPage(LOG_WARNING, "has an answer of " + std::to_string(json.size()) +
						  " bytes, longer than the page helper takes; not sent");
}

void PageSource::dispatch(std::string_view name, std::string_view json)
{
	PacketBytes packet;
	if (encodeRecord(Packet::PageEvent, {{}, name, json, 0}, packet))
		supervisor_.send(std::move(packet));
	else
		logAboutPage(LOG_WARNING, "has an event of " + std::to_string(json.size()) +
						  " bytes, longer than the page helper takes; not sent");
}

void PageSource::callDone()
{
	--pendingCalls_;
}

std::string PageSource::name()
{
	std::lock_guard<std::mutex> hold(lock_);
	return name_;
}

void PageSource::logAboutPage(int level, const std::string &text)
{
	uint64_t dropped = 0;
	{
		std::lock_guard<std::mutex> hold(logLock_);
		if (!logBudget_.spend(steadyMs()))
			return;
		dropped = droppedByPage_ + logBudget_.takeRefused();
		droppedByPage_ = 0;
	}
	const std::string more = dropped ? " (" + std::to_string(dropped) + " earlier lines dropped)" : "";
	page_log(level, "'%s' %s%s", name().c_str(), text.c_str(), more.c_str());
}

void PageSource::pageLogged(const Message &message)
{
	{
		std::lock_guard<std::mutex> hold(logLock_);
		droppedByPage_ += message.number;
	}
	// A low level: the page's own doings, not OBS's.
	logAboutPage(LOG_INFO,
		     std::string("console.") + consoleMethod(message.name) + ": " + consoleLine(message.text));
}

void PageSource::pageCalled(const Message &message)
{
	const ApiFunction *function = findApiFunction(message.name);
	if (!function)
		return; // none of window.obsstudio's: the page posted it to the bridge itself
	long long level = 0;
	{
		std::lock_guard<std::mutex> hold(lock_);
		level = config_.controlLevel;
	}
	const std::string id(message.id);
	if (!mayCall(*function, level)) {
		// As OBS's own: nothing is done, and the callback still gets null, so that a page waiting for it goes on.
		if (!refusalLogged_[size_t(function->call)])
			page_log(LOG_INFO,
				 "'%s' called obsstudio.%s, which needs page permissions of level %d (%s); the source "
				 "allows %lld: nothing done",
				 name().c_str(), function->name, int(function->needs), levelName(function->needs),
				 level);
		refusalLogged_.set(size_t(function->call));
		if (!id.empty())
			answer(id, "null");
		return;
	}
	if (pendingCalls_ >= kMaxPendingCalls) {
		if (!overflowLogged_)
			page_log(LOG_WARNING, "'%s' calls obsstudio faster than OBS answers: calls dropped",
				 name().c_str());
		overflowLogged_ = true;
		return;
	}
	++pendingCalls_;
	callOnUiThread(source_, function->call, id, std::string(message.text), level);
}

// A new page helper: its WebKit has no cache yet, and it plays the page's sound, which a reload in the running
// WebKit may lose.
void PageSource::refresh()
{
	supervisor_.restart();
}

uint32_t PageSource::width()
{
	std::lock_guard<std::mutex> hold(lock_);
	return config_.width;
}

uint32_t PageSource::height()
{
	std::lock_guard<std::mutex> hold(lock_);
	return config_.height;
}

HelperLaunch PageSource::launch()
{
	std::lock_guard<std::mutex> hold(lock_);
	HelperLaunch launch;
	launch.arguments = helperArguments(config_);
	launch.width = config_.width;
	launch.height = config_.height;
	launch.commands = {{Packet::Navigate, config_.url, false},
			   {Packet::Css, config_.css, false},
			   {Packet::AudioToModule, {}, config_.rerouteAudio},
			   {Packet::Shown, {}, shown_.load()}};
	return launch;
}

void PageSource::helperStarted(std::shared_ptr<FrameArea> area)
{
	audio_.restart();
	frames_.attach(std::move(area));
}

void PageSource::helperEnded(bool failed)
{
	frames_.attach(nullptr);
	// A helper replaced on purpose leaves its picture until the next one's first frame; a failed page shows
	// nothing rather than a picture that no longer moves.
	if (failed)
		frames_.forgetPicture();
}

void PageSource::received(const Message &message)
{
	if (message.type == Packet::Audio)
		audio_.output(message.rate, message.channels, message.samples, message.frames);
	else if (message.type == Packet::PageCall)
		pageCalled(message);
	else if (message.type == Packet::PageConsole)
		pageLogged(message);
}

void PageSource::render()
{
	gs_texture_t *texture = frames_.texture();
	if (!texture)
		return;
	// WebKit's pixels are premultiplied. The picture fills the source's size even while it is the last one
	// of an earlier size.
	gs_blend_state_push();
	gs_blend_function(GS_BLEND_ONE, GS_BLEND_INVSRCALPHA);
	gs_effect_t *effect = obs_get_base_effect(OBS_EFFECT_DEFAULT);
	gs_effect_set_texture(gs_effect_get_param_by_name(effect, "image"), texture);
	while (gs_effect_loop(effect, "Draw"))
		gs_draw_sprite(texture, 0, width(), height());
	gs_blend_state_pop();
}

} // namespace page
