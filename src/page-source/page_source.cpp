#include "page-source/page_source.hpp"

#include "page-source/helper_process.hpp"
#include "page-source/page_log.hpp"
#include "page-source/page_rules.hpp"

#include <obs-module.h>
#include <util/platform.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace page {

namespace {

std::string helperPath;

const char *const kDefaultCss = "body { background-color: rgba(0, 0, 0, 0); margin: 0px auto; overflow: hidden; }";

int64_t nowMs()
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
	obs_video_info video = {};
	if (!obs_get_video_info(&video))
		video.fps_num = video.fps_den = 0;
	return pageConfig(raw, video.fps_num, video.fps_den);
}

// One page: a worker thread runs its helper (start, watch, restart, stop); the graphics thread draws the
// newest frame from the helper's frame area.
class PageSource {
public:
	PageSource(obs_data_t *settings, obs_source_t *source) : source_(source), config_(configOf(settings))
	{
		wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
		worker_ = std::thread([this] { run(); });
	}

	~PageSource()
	{
		stopping_ = true;
		poke();
		worker_.join();
		close(wake_);
		if (texture_) {
			obs_enter_graphics();
			gs_texture_destroy(texture_);
			obs_leave_graphics();
		}
	}

	void update(obs_data_t *settings)
	{
		const PageConfig wanted = configOf(settings);
		{
			std::lock_guard<std::mutex> hold(lock_);
			if (needsNewPipeline(config_, wanted))
				restart_ = true;
			else if (wanted.url != config_.url)
				navigate_ = true;
			if (wanted.css != config_.css)
				css_ = true;
			config_ = wanted;
		}
		poke();
	}

	void setShown(bool shown)
	{
		shown_ = shown;
		poke();
	}

	void activate()
	{
		{
			std::lock_guard<std::mutex> hold(lock_);
			if (!config_.restartWhenActive)
				return;
			reload_ = true;
		}
		poke();
	}

	void refresh()
	{
		{
			std::lock_guard<std::mutex> hold(lock_);
			reload_ = true;
		}
		poke();
	}

	uint32_t width()
	{
		std::lock_guard<std::mutex> hold(lock_);
		return config_.width;
	}
	uint32_t height()
	{
		std::lock_guard<std::mutex> hold(lock_);
		return config_.height;
	}

	void render();

private:
	void poke()
	{
		const uint64_t one = 1;
		(void)!write(wake_, &one, sizeof one);
	}
	bool wantsToRun()
	{
		std::lock_guard<std::mutex> hold(lock_);
		return !(config_.shutdown && !shown_);
	}
	// Sleeps until poked or `ms` pass.
	void rest(int64_t ms)
	{
		pollfd wait = {wake_, POLLIN, 0};
		poll(&wait, 1, int(ms));
		uint64_t count;
		(void)!read(wake_, &count, sizeof count);
	}
	void run();
	enum class Ending { Asked, Failed };
	Ending runHelperOnce(const HelperProcess &helper, const PageConfig &config, int64_t startedAt);
	void readPackets(int socket, int64_t &lastPacket, bool &failed);
	void outputAudio(const AudioHeader &header, const float *samples);

	obs_source_t *source_;
	std::thread worker_;
	int wake_ = -1;
	std::atomic<bool> stopping_{false};
	std::atomic<bool> shown_{false};

	std::mutex lock_; // config_ and the requests below
	PageConfig config_;
	bool restart_ = false;
	bool navigate_ = false;
	bool css_ = false;
	bool reload_ = false;

	std::mutex areaLock_; // the frame area the graphics thread reads, swapped by the worker
	const FrameAreaHeader *area_ = nullptr;
	uint64_t areaGeneration_ = 0;

	// Graphics thread only.
	gs_texture_t *texture_ = nullptr;
	uint64_t textureGeneration_ = 0;
	uint64_t uploaded_ = 0;

	// Worker only.
	uint64_t nextAudioTimestamp_ = 0;
	bool failureLogged_ = false;
	bool badAudioLogged_ = false;
};

void PageSource::run()
{
	int failures = 0;
	while (!stopping_) {
		if (!wantsToRun()) {
			rest(1000);
			continue;
		}
		PageConfig config;
		{
			std::lock_guard<std::mutex> hold(lock_);
			config = config_;
			restart_ = navigate_ = reload_ = false;
			css_ = true; // the new helper needs the style sheet
		}
		HelperProcess helper;
		if (!startHelper(helperPath, helperArguments(config), config.width, config.height, helper)) {
			if (!failureLogged_)
				page_log(LOG_WARNING, "cannot start the page helper %s: %s", helperPath.c_str(),
					 strerror(errno));
			failureLogged_ = true;
			rest(restartDelayMs(++failures));
			continue;
		}
		{
			std::lock_guard<std::mutex> hold(areaLock_);
			area_ = helper.area;
			++areaGeneration_;
		}
		const int64_t startedAt = nowMs();
		const Ending ending = runHelperOnce(helper, config, startedAt);
		{
			std::lock_guard<std::mutex> hold(areaLock_);
			area_ = nullptr; // the source is transparent until the next helper's first frame
			++areaGeneration_;
		}
		if (!stopHelper(helper))
			page_log(LOG_WARNING, "a page helper did not end within its limit");
		// A helper that ran well for a while starts the back-off, and the failure log, over: a page that keeps
		// failing is logged once.
		const bool ranWell = nowMs() - startedAt > 30000;
		if (ending == Ending::Failed) {
			failures = ranWell ? 1 : failures + 1;
			rest(restartDelayMs(failures));
		} else {
			failures = 0;
		}
		if (ending == Ending::Asked || ranWell)
			failureLogged_ = false;
	}
}

PageSource::Ending PageSource::runHelperOnce(const HelperProcess &helper, const PageConfig &config, int64_t startedAt)
{
	int64_t lastPacket = startedAt;
	bool failed = false;
	for (;;) {
		pollfd waits[2] = {{helper.socket, POLLIN, 0}, {wake_, POLLIN, 0}};
		poll(waits, 2, 100);
		if (waits[1].revents) {
			uint64_t count;
			(void)!read(wake_, &count, sizeof count);
		}
		if (stopping_ || !wantsToRun())
			return Ending::Asked;

		std::vector<std::pair<Packet, std::string>> commands;
		{
			std::lock_guard<std::mutex> hold(lock_);
			if (restart_)
				return Ending::Asked;
			if (navigate_)
				commands.emplace_back(Packet::Navigate, config_.url);
			if (css_)
				commands.emplace_back(Packet::Css, config_.css);
			if (reload_)
				commands.emplace_back(Packet::Reload, std::string());
			navigate_ = css_ = reload_ = false;
		}
		for (const auto &command : commands) {
			std::string packet(sizeof(Packet), '\0');
			memcpy(packet.data(), &command.first, sizeof(Packet));
			packet += command.second.substr(0, kMaxPacketBytes - sizeof(Packet));
			(void)send(helper.socket, packet.data(), packet.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
		}

		if (waits[0].revents & POLLIN)
			readPackets(helper.socket, lastPacket, failed);
		if (failed)
			return Ending::Failed;
		HelperProcess watched = helper;
		if (helperExited(watched) || (waits[0].revents & (POLLHUP | POLLERR))) {
			if (!failureLogged_)
				page_log(LOG_WARNING, "the page helper for %s ended; starting it again",
					 config.url.c_str());
			failureLogged_ = true;
			return Ending::Failed;
		}
		const bool hasFrame = helper.area->published.load(std::memory_order_acquire) > 0;
		const int64_t now = nowMs();
		const Verdict verdict = judge({now - startedAt, now - lastPacket, hasFrame});
		if (verdict != Verdict::Healthy) {
			page_log(LOG_WARNING, "the page helper for %s %s; starting it again", config.url.c_str(),
				 verdict == Verdict::NoFirstFrame ? "delivered no frame in time" : "stopped answering");
			return Ending::Failed;
		}
	}
}

void PageSource::readPackets(int socket, int64_t &lastPacket, bool &failed)
{
	static thread_local std::vector<char> buffer(kMaxPacketBytes);
	for (;;) {
		const ssize_t received = recv(socket, buffer.data(), buffer.size(), MSG_DONTWAIT);
		if (received < ssize_t(sizeof(Packet)))
			return;
		lastPacket = nowMs();
		Packet type;
		memcpy(&type, buffer.data(), sizeof type);
		if (type == Packet::Audio && size_t(received) >= sizeof(AudioHeader)) {
			AudioHeader header;
			memcpy(&header, buffer.data(), sizeof header);
			const size_t bytes = size_t(header.frames) * header.channels * sizeof(float);
			if (header.channels >= 1 && header.channels <= 2 && header.rate > 0 &&
			    sizeof header + bytes <= size_t(received))
				outputAudio(header, reinterpret_cast<const float *>(buffer.data() + sizeof header));
		} else if (type == Packet::Failed) {
			const std::string text(buffer.data() + sizeof type, size_t(received) - sizeof type);
			if (!failureLogged_) {
				std::lock_guard<std::mutex> hold(lock_);
				page_log(LOG_WARNING, "the page %s did not load: %s", config_.url.c_str(),
					 text.c_str());
			}
			failureLogged_ = true;
			failed = true;
		}
	}
}

void PageSource::outputAudio(const AudioHeader &header, const float *samples)
{
	{
		std::lock_guard<std::mutex> hold(lock_);
		if (!config_.rerouteAudio)
			return;
	}
	// A buffer with samples no page can make is dropped rather than let into the mix.
	const size_t count = size_t(header.frames) * header.channels;
	for (size_t i = 0; i < count; ++i) {
		if (!(std::fabs(samples[i]) <= 8.0f)) {
			if (!badAudioLogged_)
				page_log(LOG_WARNING, "dropped an audio buffer of %u frames with a sample of %g",
					 header.frames, double(samples[i]));
			badAudioLogged_ = true;
			return;
		}
	}
	// Consecutive buffers get consecutive timestamps; the clock is taken again only after a gap.
	const uint64_t now = os_gettime_ns();
	const uint64_t duration = uint64_t(header.frames) * 1000000000ULL / header.rate;
	if (nextAudioTimestamp_ == 0 || now > nextAudioTimestamp_ + 100000000ULL ||
	    nextAudioTimestamp_ > now + 100000000ULL)
		nextAudioTimestamp_ = now;
	obs_source_audio audio = {};
	audio.data[0] = reinterpret_cast<const uint8_t *>(samples);
	audio.frames = header.frames;
	audio.speakers = header.channels == 1 ? SPEAKERS_MONO : SPEAKERS_STEREO;
	audio.format = AUDIO_FORMAT_FLOAT;
	audio.samples_per_sec = header.rate;
	audio.timestamp = nextAudioTimestamp_;
	nextAudioTimestamp_ += duration;
	obs_source_output_audio(source_, &audio);
}

void PageSource::render()
{
	bool draw = false;
	{
		std::lock_guard<std::mutex> hold(areaLock_);
		if (textureGeneration_ != areaGeneration_) {
			textureGeneration_ = areaGeneration_;
			uploaded_ = 0;
		}
		const FrameAreaHeader *area = area_;
		const uint64_t published = area ? area->published.load(std::memory_order_acquire) : 0;
		if (published > 0 && published != uploaded_) {
			if (texture_ && (gs_texture_get_width(texture_) != area->width ||
					 gs_texture_get_height(texture_) != area->height)) {
				gs_texture_destroy(texture_);
				texture_ = nullptr;
			}
			if (!texture_)
				texture_ =
					gs_texture_create(area->width, area->height, GS_BGRA, 1, nullptr, GS_DYNAMIC);
			const int slot = int((published - 1) % 2);
			const uint32_t before = area->slotSequence[slot].load(std::memory_order_acquire);
			if (texture_ && before % 2 == 0) {
				const auto *pixels = reinterpret_cast<const uint8_t *>(area) +
						     slotOffset(area->width, area->height, slot);
				gs_texture_set_image(texture_, pixels, area->width * 4, false);
				std::atomic_thread_fence(std::memory_order_acquire);
				// A slot rewritten while it was copied is copied again at the next frame.
				if (area->slotSequence[slot].load(std::memory_order_relaxed) == before)
					uploaded_ = published;
			}
		}
		draw = texture_ && uploaded_ > 0;
	}
	if (!draw)
		return;
	// WebKit's pixels are premultiplied.
	gs_blend_state_push();
	gs_blend_function(GS_BLEND_ONE, GS_BLEND_INVSRCALPHA);
	gs_effect_t *effect = obs_get_base_effect(OBS_EFFECT_DEFAULT);
	gs_effect_set_texture(gs_effect_get_param_by_name(effect, "image"), texture_);
	while (gs_effect_loop(effect, "Draw"))
		gs_draw_sprite(texture_, 0, 0, 0);
	gs_blend_state_pop();
}

obs_properties_t *properties(void *data)
{
	obs_properties_t *props = obs_properties_create();
	obs_properties_add_text(props, "url", "URL", OBS_TEXT_DEFAULT);
	obs_properties_add_int(props, "width", "Width", 1, int(kMaxSide), 1);
	obs_properties_add_int(props, "height", "Height", 1, int(kMaxSide), 1);
	obs_property_t *custom = obs_properties_add_bool(props, "fps_custom", "Use custom frame rate");
	obs_property_set_modified_callback(custom, [](obs_properties_t *all, obs_property_t *, obs_data_t *settings) {
		obs_property_set_visible(obs_properties_get(all, "fps"), obs_data_get_bool(settings, "fps_custom"));
		return true;
	});
	obs_properties_add_int(props, "fps", "FPS", 1, int(kMaxFps), 1);
	obs_properties_add_bool(props, "reroute_audio", "Control audio via OBS");
	obs_properties_add_text(props, "css", "Custom CSS", OBS_TEXT_MULTILINE);
	obs_properties_add_bool(props, "shutdown", "Shutdown source when not visible");
	obs_properties_add_bool(props, "restart_when_active", "Refresh browser when scene becomes active");
	// The source goes with the button itself: libobs 32 deprecates the form that passed it implicitly. Properties
	// of the type alone (no source) have no page to refresh.
	obs_properties_add_button2(
		props, "refreshnocache", "Refresh page",
		[](obs_properties_t *, obs_property_t *, void *page) {
			if (page)
				static_cast<PageSource *>(page)->refresh();
			return false;
		},
		data);
	return props;
}

void defaults(obs_data_t *settings)
{
	obs_data_set_default_string(settings, "url", "https://obsproject.com/browser-source");
	obs_data_set_default_int(settings, "width", 800);
	obs_data_set_default_int(settings, "height", 600);
	obs_data_set_default_int(settings, "fps", 30);
	obs_data_set_default_bool(settings, "fps_custom", false);
	obs_data_set_default_bool(settings, "shutdown", false);
	obs_data_set_default_bool(settings, "restart_when_active", false);
	obs_data_set_default_bool(settings, "reroute_audio", false);
	obs_data_set_default_string(settings, "css", kDefaultCss);
}

} // namespace

void registerPageSource(const std::string &helper)
{
	helperPath = helper;
	obs_source_info info = {};
	info.id = "browser_source";
	info.type = OBS_SOURCE_TYPE_INPUT;
	info.output_flags = OBS_SOURCE_VIDEO | OBS_SOURCE_AUDIO | OBS_SOURCE_CUSTOM_DRAW | OBS_SOURCE_DO_NOT_DUPLICATE;
	info.icon_type = OBS_ICON_TYPE_BROWSER;
	info.get_name = [](void *) {
		return "Browser (WPE WebKit page renderer, not Chromium)";
	};
	info.create = [](obs_data_t *settings, obs_source_t *source) -> void * {
		return new PageSource(settings, source);
	};
	info.destroy = [](void *data) {
		delete static_cast<PageSource *>(data);
	};
	info.update = [](void *data, obs_data_t *settings) {
		static_cast<PageSource *>(data)->update(settings);
	};
	info.get_defaults = defaults;
	info.get_properties = properties;
	info.get_width = [](void *data) {
		return static_cast<PageSource *>(data)->width();
	};
	info.get_height = [](void *data) {
		return static_cast<PageSource *>(data)->height();
	};
	info.show = [](void *data) {
		static_cast<PageSource *>(data)->setShown(true);
	};
	info.hide = [](void *data) {
		static_cast<PageSource *>(data)->setShown(false);
	};
	info.activate = [](void *data) {
		static_cast<PageSource *>(data)->activate();
	};
	info.video_render = [](void *data, gs_effect_t *) {
		static_cast<PageSource *>(data)->render();
	};
	obs_register_source(&info);
}

} // namespace page
