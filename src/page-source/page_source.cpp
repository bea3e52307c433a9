#include "page-source/page_source.hpp"

#include <memory>

namespace page {

namespace {

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

} // namespace

PageSource *PageSource::create(obs_data_t *settings, obs_source_t *source, const std::string &helperPath)
{
	std::unique_ptr<PageSource> page(new PageSource(settings, source, helperPath));
	if (!page->supervisor_.start())
		return nullptr;
	return page.release();
}

PageSource::PageSource(obs_data_t *settings, obs_source_t *source, const std::string &helperPath)
	: config_(configOf(settings)),
	  audio_(source),
	  supervisor_(helperPath, *this)
{
	audio_.setEnabled(config_.rerouteAudio);
	updateWanted();
}

PageSource::~PageSource()
{
	supervisor_.stop();
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
	audio_.setEnabled(wanted.rerouteAudio);
	updateWanted();
	if (change.restart)
		supervisor_.restart();
	if (change.navigate)
		supervisor_.send(Packet::Navigate, wanted.url);
	if (change.css)
		supervisor_.send(Packet::Css, wanted.css);
}

void PageSource::setShown(bool shown)
{
	shown_ = shown;
	updateWanted();
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
		supervisor_.send(Packet::Reload);
}

void PageSource::refresh()
{
	supervisor_.send(Packet::Reload);
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
	launch.commands = {{Packet::Navigate, config_.url}, {Packet::Css, config_.css}};
	return launch;
}

void PageSource::frameAreaChanged(std::shared_ptr<FrameArea> area)
{
	audio_.restart();
	frames_.attach(std::move(area));
}

void PageSource::received(const Message &message)
{
	if (message.type == Packet::Audio)
		audio_.output(message.rate, message.channels, message.samples, message.frames);
}

void PageSource::render()
{
	gs_texture_t *texture = frames_.texture();
	if (!texture)
		return;
	// WebKit's pixels are premultiplied.
	gs_blend_state_push();
	gs_blend_function(GS_BLEND_ONE, GS_BLEND_INVSRCALPHA);
	gs_effect_t *effect = obs_get_base_effect(OBS_EFFECT_DEFAULT);
	gs_effect_set_texture(gs_effect_get_param_by_name(effect, "image"), texture);
	while (gs_effect_loop(effect, "Draw"))
		gs_draw_sprite(texture, 0, 0, 0);
	gs_blend_state_pop();
}

} // namespace page
