#include "output/canvas_fit.hpp"

#include <obs.h>

std::optional<CanvasFit> computeCanvasFit(uint32_t canvasWidth, uint32_t canvasHeight, int32_t sourceWidth,
					  int32_t sourceHeight)
{
	if (canvasWidth == 0 || canvasHeight == 0 || sourceWidth <= 0 || sourceHeight <= 0)
		return std::nullopt;

	const float W = static_cast<float>(canvasWidth);
	const float H = static_cast<float>(canvasHeight);
	const float w = static_cast<float>(sourceWidth);
	const float h = static_cast<float>(sourceHeight);

	const float sx = W / w;
	const float sy = H / h;
	const float s = sy < sx ? sy : sx;

	// Kept as separate single-precision steps (this file is built without FMA contraction): a fused
	// multiply-add would change the last bits, e.g. 1600 x 900 on 1920 x 1080 must give x = -2^-14.
	const float scaledWidth = s * w;
	const float scaledHeight = s * h;
	return CanvasFit{(W - scaledWidth) * 0.5f, (H - scaledHeight) * 0.5f, s};
}

void fitItemToCanvas(obs_sceneitem_t *item, int sourceWidth, int sourceHeight)
{
	obs_video_info video = {};
	if (!obs_get_video_info(&video))
		return;

	const std::optional<CanvasFit> fit =
		computeCanvasFit(video.base_width, video.base_height, sourceWidth, sourceHeight);
	if (!fit)
		return;

	vec2 position;
	vec2 scale;
	vec2_set(&position, fit->x, fit->y);
	vec2_set(&scale, fit->scale, fit->scale);
	obs_sceneitem_set_pos(item, &position);
	obs_sceneitem_set_scale(item, &scale);
}
