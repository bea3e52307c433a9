#pragma once

#include <cstdint>
#include <optional>

struct obs_scene_item;
typedef struct obs_scene_item obs_sceneitem_t;

struct CanvasFit {
	float x;
	float y;
	float scale;
};

// Scale that fits a source of the given size inside the canvas without distortion, and the top-left
// position that centres it. Single precision throughout, unrounded. Nothing for an empty canvas or source.
std::optional<CanvasFit> computeCanvasFit(uint32_t canvasWidth, uint32_t canvasHeight, int32_t sourceWidth,
					  int32_t sourceHeight);

// Fits the item to OBS's base canvas for a source of the given size: position first, then scale.
// Leaves the item untouched when there is no video information or the canvas is empty.
void fitItemToCanvas(obs_sceneitem_t *item, int sourceWidth, int sourceHeight);
