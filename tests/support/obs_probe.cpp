#include "support/obs_probe.hpp"

#include <obs.hpp>

#include <cmath>
#include <cstring>

std::ostream &operator<<(std::ostream &os, const SettingEntry &entry)
{
	return os << "{" << entry.key << ", type " << entry.type << ", number " << entry.numberType << ", \""
		  << entry.value << "\"}";
}

std::vector<SettingEntry> settingsOf(obs_source_t *source)
{
	std::vector<SettingEntry> entries;
	OBSDataAutoRelease settings = obs_source_get_settings(source);
	for (obs_data_item_t *item = obs_data_first(settings); item; obs_data_item_next(&item)) {
		SettingEntry entry{obs_data_item_get_name(item), obs_data_item_gettype(item), OBS_DATA_NUM_INVALID, ""};
		switch (entry.type) {
		case OBS_DATA_STRING:
			entry.value = obs_data_item_get_string(item);
			break;
		case OBS_DATA_NUMBER:
			entry.numberType = obs_data_item_numtype(item);
			entry.value = entry.numberType == OBS_DATA_NUM_INT
					      ? std::to_string(obs_data_item_get_int(item))
					      : std::to_string(obs_data_item_get_double(item));
			break;
		case OBS_DATA_BOOLEAN:
			entry.value = obs_data_item_get_bool(item) ? "true" : "false";
			break;
		default:
			break;
		}
		entries.push_back(entry);
	}
	return entries;
}

std::vector<obs_sceneitem_t *> topLevelItems(obs_scene_t *scene, obs_source_t *of)
{
	struct Query {
		obs_source_t *of;
		std::vector<obs_sceneitem_t *> items;
	} query{of, {}};
	obs_scene_enum_items(
		scene,
		[](obs_scene_t *, obs_sceneitem_t *item, void *param) {
			auto *q = static_cast<Query *>(param);
			if (!q->of || obs_sceneitem_get_source(item) == q->of)
				q->items.push_back(item);
			return true;
		},
		&query);
	return query.items;
}

int countSourcesOfType(const char *typeId)
{
	struct Query {
		const char *typeId;
		int count;
	} query{typeId, 0};
	obs_enum_sources(
		[](void *param, obs_source_t *source) {
			auto *q = static_cast<Query *>(param);
			if (strcmp(obs_source_get_id(source), q->typeId) == 0)
				++q->count;
			return true;
		},
		&query);
	return query.count;
}

vec2 positionOf(obs_sceneitem_t *item)
{
	vec2 v;
	obs_sceneitem_get_pos(item, &v);
	return v;
}

vec2 scaleOf(obs_sceneitem_t *item)
{
	vec2 v;
	obs_sceneitem_get_scale(item, &v);
	return v;
}

float placedAt(float x)
{
	if (obs_get_version() < MAKE_SEMANTIC_VERSION(31, 0, 0))
		return x;
	return std::floor(x * 2.0f + 0.5f) / 2.0f;
}

void removeAndRelease(obs_scene_t *scene)
{
	if (scene)
		obs_source_remove(obs_scene_get_source(scene));
	obs_scene_release(scene);
}
