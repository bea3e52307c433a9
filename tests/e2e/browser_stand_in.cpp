/*
 * Loadable OBS module that registers the "browser_source" input type.
 *
 * Distribution builds of OBS often ship without the browser plug-in. Without a
 * registered type libobs still creates such sources, but as placeholders with no
 * size, so the plug-in's fit-to-canvas arithmetic could not be observed. This
 * stand-in renders nothing and reports the size in its settings, which is all
 * the end-to-end test needs from a browser source.
 */

#include <obs-module.h>

OBS_DECLARE_MODULE()
OBS_MODULE_USE_DEFAULT_LOCALE("browser-stand-in", "en-US")

struct stand_in {
	uint32_t width;
	uint32_t height;
};

static const char *stand_in_get_name(void *)
{
	return "Browser (test stand-in)";
}

static void stand_in_update(void *data, obs_data_t *settings)
{
	auto *s = static_cast<stand_in *>(data);
	long long w = obs_data_get_int(settings, "width");
	long long h = obs_data_get_int(settings, "height");
	s->width = w > 0 ? static_cast<uint32_t>(w) : 0;
	s->height = h > 0 ? static_cast<uint32_t>(h) : 0;
}

static void *stand_in_create(obs_data_t *settings, obs_source_t *)
{
	auto *s = static_cast<stand_in *>(bzalloc(sizeof(stand_in)));
	stand_in_update(s, settings);
	return s;
}

static void stand_in_destroy(void *data)
{
	bfree(data);
}

static uint32_t stand_in_get_width(void *data)
{
	return static_cast<stand_in *>(data)->width;
}

static uint32_t stand_in_get_height(void *data)
{
	return static_cast<stand_in *>(data)->height;
}

/* Same defaults as the real browser source, so a source created with partial
 * settings still has a size. */
static void stand_in_get_defaults(obs_data_t *settings)
{
	obs_data_set_default_string(settings, "url", "");
	obs_data_set_default_int(settings, "width", 800);
	obs_data_set_default_int(settings, "height", 600);
	obs_data_set_default_bool(settings, "fps_custom", false);
	obs_data_set_default_int(settings, "fps", 30);
	obs_data_set_default_bool(settings, "shutdown", false);
	obs_data_set_default_bool(settings, "restart_when_active", false);
	obs_data_set_default_bool(settings, "reroute_audio", false);
	obs_data_set_default_string(settings, "css", "");
}

static obs_properties_t *stand_in_get_properties(void *)
{
	obs_properties_t *props = obs_properties_create();
	obs_properties_add_text(props, "url", "URL", OBS_TEXT_DEFAULT);
	obs_properties_add_int(props, "width", "Width", 1, 8192, 1);
	obs_properties_add_int(props, "height", "Height", 1, 8192, 1);
	return props;
}

bool obs_module_load(void)
{
	obs_source_info info = {};
	info.id = "browser_source";
	info.type = OBS_SOURCE_TYPE_INPUT;
	info.output_flags = OBS_SOURCE_VIDEO | OBS_SOURCE_AUDIO | OBS_SOURCE_DO_NOT_DUPLICATE;
	info.get_name = stand_in_get_name;
	info.create = stand_in_create;
	info.destroy = stand_in_destroy;
	info.update = stand_in_update;
	info.get_width = stand_in_get_width;
	info.get_height = stand_in_get_height;
	info.get_defaults = stand_in_get_defaults;
	info.get_properties = stand_in_get_properties;
	info.icon_type = OBS_ICON_TYPE_BROWSER;
	// libobs copies the struct, so a local is enough.
	obs_register_source(&info);
	blog(LOG_INFO, "[browser-stand-in] registered browser_source");
	return true;
}
