#pragma once

// Looks at what is in libobs: a source's settings as stored, the items of a scene, the sources of a type.

#include <obs.hpp>

#include <ostream>
#include <string>
#include <vector>

struct SettingEntry {
	std::string key;
	obs_data_type type;
	obs_data_number_type numberType; // OBS_DATA_NUM_INVALID unless the entry is a number
	std::string value;               // text as stored; integers in decimal; booleans "true" or "false"

	bool operator==(const SettingEntry &other) const
	{
		return key == other.key && type == other.type && numberType == other.numberType && value == other.value;
	}
};
std::ostream &operator<<(std::ostream &os, const SettingEntry &entry);

// Every entry of the source's settings, in stored order.
std::vector<SettingEntry> settingsOf(obs_source_t *source);

// The items at the scene's top level (borrowed), optionally only those of one source.
std::vector<obs_sceneitem_t *> topLevelItems(obs_scene_t *scene, obs_source_t *of = nullptr);

// How many public sources of this type id exist.
int countSourcesOfType(const char *typeId);

vec2 positionOf(obs_sceneitem_t *item);
vec2 scaleOf(obs_sceneitem_t *item);

// Where libobs places an item asked to be at x: libobs 31 and later keep an item's position relative to the
// canvas and give it back rounded to the half pixel.
float placedAt(float x);

// A scene of a test's own. libobs 31 and later also hold every public scene in the main canvas until it is
// removed, as OBS removes a scene the user deletes, so the test's last reference removes it.
void removeAndRelease(obs_scene_t *scene);
using TestScene = OBSRefAutoRelease<obs_scene_t *, removeAndRelease>;
