#pragma once

// Looks at what is in libobs: a source's settings as stored, the items of a scene, the sources of a type.

#include <obs.h>

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
