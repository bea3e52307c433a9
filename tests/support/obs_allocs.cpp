#include "support/obs_allocs.hpp"
#include "support/obs_probe.hpp"

#include <obs.hpp>

#include <chrono>
#include <thread>

namespace obs_allocs {

// The video thread takes a reference to every source while it ticks them, once a frame; a source it was the
// last to let go of is destroyed from there. Two new frame times mean a whole frame has passed since the call.
// Under load a frame can take seconds: the limit only turns a stopped video thread into a wrong count.
static void letAVideoFramePass()
{
	obs_video_info video;
	if (!obs_get_video_info(&video))
		return; // no video thread yet
	const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
	uint64_t last = obs_get_video_frame_time();
	int frames = 0;
	while (frames < 2 && std::chrono::steady_clock::now() < deadline) {
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
		const uint64_t time = obs_get_video_frame_time();
		if (time != last) {
			last = time;
			++frames;
		}
	}
}

void warmUp()
{
	TestScene outer = obs_scene_create("allocation warm-up");
	TestScene inner = obs_scene_create("allocation warm-up, inner");
	obs_scene_add(outer, obs_scene_get_source(inner));
	// libobs 30 and later gather the sources to tick into a list that the video thread keeps from frame to
	// frame: a frame must pass while sources exist.
	letAVideoFramePass();
}

long now()
{
	letAVideoFramePass();
	obs_wait_for_destroy_queue();
	return bnum_allocs();
}

long settledAt(long expected, int timeoutMs)
{
	const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
	long count = now();
	while (count != expected && std::chrono::steady_clock::now() < deadline) {
		std::this_thread::sleep_for(std::chrono::milliseconds(5));
		count = now();
	}
	return count;
}

} // namespace obs_allocs
