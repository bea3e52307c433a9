#include "page-source/page_type.hpp"

#include "page-source/frontend_bridge.hpp"
#include "page-source/page_api.hpp"
#include "page-source/page_input.hpp"
#include "page-source/page_rules.hpp"
#include "page-source/page_source.hpp"

#include <obs-module.h>

#include <optional>
#include <utility>

namespace page {

namespace {

std::string helperPath;

const char *const kDefaultCss = "body { background-color: rgba(0, 0, 0, 0); margin: 0px auto; overflow: hidden; }";

PageSource *pageOf(void *data)
{
	return static_cast<PageSource *>(data);
}

obs_properties_t *properties(void *data)
{
	// OBS's own browser source's labels and order; the texts are looked up each time, in OBS's current language.
	obs_properties_t *props = obs_properties_create();
	// Applied when the user is done, not at each key typed into the address (each address is a new helper).
	obs_properties_set_flags(props, OBS_PROPERTIES_DEFER_UPDATE);
	obs_property_t *isLocal = obs_properties_add_bool(props, "is_local_file", obs_module_text("LocalFile"));
	obs_properties_add_path(props, "local_file", obs_module_text("LocalFile"), OBS_PATH_FILE,
				obs_module_text("LocalFileFilter"), nullptr);
	obs_property_set_modified_callback(isLocal, [](obs_properties_t *all, obs_property_t *, obs_data_t *settings) {
		const bool local = obs_data_get_bool(settings, "is_local_file");
		obs_property_set_visible(obs_properties_get(all, "url"), !local);
		obs_property_set_visible(obs_properties_get(all, "local_file"), local);
		return true;
	});
	obs_properties_add_text(props, "url", obs_module_text("URL"), OBS_TEXT_DEFAULT);
	obs_properties_add_int(props, "width", obs_module_text("Width"), 1, int(kMaxSide), 1);
	obs_properties_add_int(props, "height", obs_module_text("Height"), 1, int(kMaxSide), 1);
	obs_properties_add_bool(props, "reroute_audio", obs_module_text("RerouteAudio"));
	obs_property_t *custom = obs_properties_add_bool(props, "fps_custom", obs_module_text("CustomFrameRate"));
	obs_property_set_modified_callback(custom, [](obs_properties_t *all, obs_property_t *, obs_data_t *settings) {
		obs_property_set_visible(obs_properties_get(all, "fps"), obs_data_get_bool(settings, "fps_custom"));
		return true;
	});
	obs_properties_add_int(props, "fps", obs_module_text("FPS"), 1, int(kMaxFps), 1);
	obs_properties_add_text(props, "css", obs_module_text("CSS"), OBS_TEXT_MULTILINE);
	obs_properties_add_bool(props, "shutdown", obs_module_text("ShutdownSourceNotVisible"));
	obs_properties_add_bool(props, "restart_when_active", obs_module_text("RefreshBrowserActive"));
	obs_property_t *level = obs_properties_add_list(props, "webpage_control_level",
							obs_module_text("WebpageControlLevel"), OBS_COMBO_TYPE_LIST,
							OBS_COMBO_FORMAT_INT);
	const std::pair<const char *, ControlLevel> levels[] = {
		{"WebpageControlLevel.Level.None", ControlLevel::None},
		{"WebpageControlLevel.Level.ReadObs", ControlLevel::ReadObs},
		{"WebpageControlLevel.Level.ReadUser", ControlLevel::ReadUser},
		{"WebpageControlLevel.Level.Basic", ControlLevel::Basic},
		{"WebpageControlLevel.Level.Advanced", ControlLevel::Advanced},
		{"WebpageControlLevel.Level.All", ControlLevel::All},
	};
	for (const auto &[label, value] : levels)
		obs_property_list_add_int(level, obs_module_text(label), int(value));
	// The source goes with the button itself: libobs 32 deprecates the form that passed it implicitly. Properties
	// of the type alone (no source) have no page to refresh.
	obs_properties_add_button2(
		props, "refreshnocache", obs_module_text("RefreshNoCache"),
		[](obs_properties_t *, obs_property_t *, void *page) {
			if (page)
				pageOf(page)->refresh();
			return false;
		},
		data);
	return props;
}

void defaults(obs_data_t *settings)
{
	obs_data_set_default_string(settings, "url", "https://obsproject.com/browser-source");
	obs_data_set_default_bool(settings, "is_local_file", false);
	obs_data_set_default_int(settings, "width", 800);
	obs_data_set_default_int(settings, "height", 600);
	obs_data_set_default_int(settings, "fps", 30);
	obs_data_set_default_bool(settings, "fps_custom", false);
	obs_data_set_default_bool(settings, "shutdown", false);
	obs_data_set_default_bool(settings, "restart_when_active", false);
	obs_data_set_default_bool(settings, "reroute_audio", false);
	obs_data_set_default_string(settings, "css", kDefaultCss);
	obs_data_set_default_int(settings, "webpage_control_level", int(kDefaultControlLevel));
}

} // namespace

void registerPageType(const std::string &helper)
{
	helperPath = helper;
	obs_source_info info = {};
	info.id = "browser_source";
	info.type = OBS_SOURCE_TYPE_INPUT;
	info.output_flags = OBS_SOURCE_VIDEO | OBS_SOURCE_AUDIO | OBS_SOURCE_CUSTOM_DRAW | OBS_SOURCE_INTERACTION |
			    OBS_SOURCE_DO_NOT_DUPLICATE;
	info.icon_type = OBS_ICON_TYPE_BROWSER;
	info.get_name = [](void *) {
		return obs_module_text("BrowserSource");
	};
	info.create = [](obs_data_t *settings, obs_source_t *source) -> void * {
		return PageSource::create(settings, source, helperPath);
	};
	info.destroy = [](void *data) {
		delete pageOf(data);
	};
	info.update = [](void *data, obs_data_t *settings) {
		pageOf(data)->update(settings);
	};
	info.get_defaults = defaults;
	info.get_properties = properties;
	info.get_width = [](void *data) {
		return pageOf(data)->width();
	};
	info.get_height = [](void *data) {
		return pageOf(data)->height();
	};
	info.show = [](void *data) {
		pageOf(data)->setShown(true);
	};
	info.hide = [](void *data) {
		pageOf(data)->setShown(false);
	};
	info.activate = [](void *data) {
		pageOf(data)->activate();
	};
	info.deactivate = [](void *data) {
		pageOf(data)->deactivate();
	};
	// OBS's Interact window; its coordinates are the source's own pixels, the page's.
	info.mouse_click = [](void *data, const obs_mouse_event *event, int32_t button, bool up, uint32_t clicks) {
		if (const std::optional<InputEvent> input = mouseClickInput(*event, button, up, clicks))
			pageOf(data)->input(*input);
	};
	info.mouse_move = [](void *data, const obs_mouse_event *event, bool leave) {
		pageOf(data)->input(mouseMoveInput(*event, leave));
	};
	info.mouse_wheel = [](void *data, const obs_mouse_event *event, int xDelta, int yDelta) {
		if (const std::optional<InputEvent> input = mouseWheelInput(*event, xDelta, yDelta))
			pageOf(data)->input(*input);
	};
	info.focus = [](void *data, bool focused) {
		pageOf(data)->input(focusInput(focused));
	};
	info.key_click = [](void *data, const obs_key_event *event, bool up) {
		if (const std::optional<InputEvent> input = keyInput(*event, up))
			pageOf(data)->input(*input);
	};
	info.video_render = [](void *data, gs_effect_t *) {
		pageOf(data)->render();
	};
	obs_register_source(&info);
	listenToFrontend();
}

} // namespace page
