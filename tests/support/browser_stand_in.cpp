#include "support/browser_stand_in.hpp"

#include <obs-module.h>

#include <cstdint>

namespace {

struct StandIn {
	uint32_t width;
	uint32_t height;
};

void update(void *data, obs_data_t *settings)
{
	auto *standIn = static_cast<StandIn *>(data);
	standIn->width = static_cast<uint32_t>(obs_data_get_int(settings, "width"));
	standIn->height = static_cast<uint32_t>(obs_data_get_int(settings, "height"));
}

void *create(obs_data_t *settings, obs_source_t *)
{
	auto *standIn = new StandIn{0, 0};
	update(standIn, settings);
	return standIn;
}

} // namespace

void registerBrowserStandIn()
{
	obs_source_info info = {};
	info.id = "browser_source";
	info.type = OBS_SOURCE_TYPE_INPUT;
	info.output_flags = OBS_SOURCE_VIDEO;
	info.get_name = [](void *) {
		return "Browser (test stand-in)";
	};
	info.create = create;
	info.destroy = [](void *data) {
		delete static_cast<StandIn *>(data);
	};
	info.update = update;
	info.get_width = [](void *data) {
		return static_cast<StandIn *>(data)->width;
	};
	info.get_height = [](void *data) {
		return static_cast<StandIn *>(data)->height;
	};
	obs_register_source(&info);
}
