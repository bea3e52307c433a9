#include "support/obs_session.hpp"

#include "support/browser_stand_in.hpp"
#include "support/obs_allocs.hpp"

#include <obs.h>

#include <cstdio>
#include <cstdlib>

namespace obs_session {

void start()
{
	if (obs_initialized())
		return;
	if (!obs_startup("en-US", nullptr, nullptr)) {
		fprintf(stderr, "libobs did not start (is DISPLAY set? run the tests under xvfb-run)\n");
		abort();
	}
}

bool resetVideo(uint32_t width, uint32_t height)
{
	obs_video_info video = {};
	video.graphics_module = "libobs-opengl";
	video.fps_num = 30;
	video.fps_den = 1;
	video.base_width = width;
	video.base_height = height;
	video.output_width = width;
	video.output_height = height;
	video.output_format = VIDEO_FORMAT_NV12;
	video.gpu_conversion = true;
	video.colorspace = VIDEO_CS_709;
	video.range = VIDEO_RANGE_PARTIAL;
	video.scale_type = OBS_SCALE_BICUBIC;
	return obs_reset_video(&video) == OBS_VIDEO_SUCCESS;
}

bool prepareForBrowserSources()
{
	static bool registered = false;
	if (!registered) {
		registerBrowserStandIn();
		registered = true;
	}
	if (!resetVideo(1920, 1080))
		return false;
	obs_allocs::warmUp();
	return true;
}

long stop()
{
	if (obs_initialized())
		obs_shutdown();
	return bnum_allocs();
}

} // namespace obs_session
