// The fit applied to a real scene item through libobs, with and without a canvas.
#include "output/canvas_fit.hpp"
#include "support/browser_stand_in.hpp"
#include "support/obs_probe.hpp"
#include "support/obs_session.hpp"

#include <gtest/gtest.h>
#include <obs.hpp>

#include <cstring>

namespace {

// One test, in order: libobs has no canvas until the first video reset, and none can be taken away again.
TEST(FitItemToCanvas, leavesTheItemAloneWithoutACanvasThenFitsOnARealOne)
{
	registerBrowserStandIn();
	TestScene scene = obs_scene_create("fit");
	OBSSourceAutoRelease source = obs_source_create("browser_source", "page", nullptr, nullptr);
	ASSERT_TRUE(scene && source);
	obs_sceneitem_t *item = obs_scene_add(scene, source);
	ASSERT_NE(item, nullptr);
	vec2 moved;
	vec2_set(&moved, 12.0f, 34.0f);
	obs_sceneitem_set_pos(item, &moved);

	obs_video_info video = {};
	ASSERT_FALSE(obs_get_video_info(&video)); // no video yet: the call fails
	// libobs 31 and later hold no position before a canvas exists (it reads back as NaN): compare the bits.
	const vec2 positionBefore = positionOf(item);
	const vec2 scaleBefore = scaleOf(item);
	fitItemToCanvas(item, 1080, 1920);
	const vec2 positionAfter = positionOf(item);
	const vec2 scaleAfter = scaleOf(item);
	EXPECT_EQ(memcmp(&positionAfter, &positionBefore, sizeof(vec2)), 0);
	EXPECT_EQ(memcmp(&scaleAfter, &scaleBefore, sizeof(vec2)), 0);

	ASSERT_TRUE(obs_session::resetVideo(1920, 1080));
	// libobs 31 and later never recover the transform of an item added before the canvas existed; OBS always
	// has one, so the fit is checked on an item added since.
	obs_sceneitem_remove(item);
	item = obs_scene_add(scene, source);
	ASSERT_NE(item, nullptr);
	fitItemToCanvas(item, 1080, 1920);
	EXPECT_EQ(positionOf(item).x, placedAt(656.25f));
	EXPECT_EQ(positionOf(item).y, 0.0f);
	EXPECT_EQ(scaleOf(item).x, 0.5625f);
	EXPECT_EQ(scaleOf(item).y, 0.5625f);

	fitItemToCanvas(item, 0, 1080); // a size the dialog never gives: the item is left as it is
	EXPECT_EQ(positionOf(item).x, placedAt(656.25f));
	EXPECT_EQ(scaleOf(item).x, 0.5625f);

	fitItemToCanvas(item, 1600, 900);
	EXPECT_EQ(positionOf(item).x, placedAt(-0.00006103515625f));
	EXPECT_EQ(scaleOf(item).x, 1.2f);
	obs_sceneitem_remove(item);
}

} // namespace
