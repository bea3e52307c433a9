#include "output/program_source.hpp"

#include "output/canvas_fit.hpp"
#include "output/naming.hpp"

#include <obs-frontend-api.h>
#include <obs.hpp>

#include <cstring>

namespace {

const char *const kBrowserSourceId = "browser_source";

// Transparent page, no margin or scroll bars, and every video scaled to the whole page keeping its aspect.
const char *const kOutputCss =
	"html,body{background:transparent!important;margin:0;overflow:hidden}video{width:100%;height:100%;object-fit:contain}";

void setError(QString *errorText, const QString &message)
{
	if (errorText)
		*errorText = message;
}

} // namespace

bool createOrUpdateProgramSource(const QString &serverUrl, const QString &studioId, const QString &signalCode,
				 int width, int height, int fps, bool includeAudio, QString *errorText)
{
	// Without OBS's browser plug-in libobs would still create a placeholder of the unknown type that renders
	// nothing, and the operator would be told it worked.
	if (!obs_source_get_display_name(kBrowserSourceId)) {
		setError(errorText,
			 QStringLiteral(
				 "A Browser Source não está disponível neste OBS (falta o plug-in obs-browser)."));
		return false;
	}

	const QString sourceName = buildSourceName(studioId, signalCode);
	const QByteArray url = buildOutputUrl(serverUrl, studioId, signalCode).toUtf8();
	const QByteArray name = sourceName.toUtf8();

	OBSDataAutoRelease settings = obs_data_create();
	obs_data_set_string(settings, "url", url.constData());
	obs_data_set_int(settings, "width", width);
	obs_data_set_int(settings, "height", height);
	obs_data_set_bool(settings, "fps_custom", true);
	obs_data_set_int(settings, "fps", fps);
	obs_data_set_bool(settings, "shutdown", false);
	obs_data_set_bool(settings, "restart_when_active", true);
	obs_data_set_bool(settings, "reroute_audio", includeAudio);
	obs_data_set_string(settings, "css", kOutputCss);

	OBSSourceAutoRelease source = obs_get_source_by_name(name.constData());
	if (source) {
		// The name is the only identity: a source of another type that holds it is the user's, not ours.
		if (strcmp(obs_source_get_id(source), kBrowserSourceId) != 0) {
			setError(errorText,
				 QStringLiteral("Já existe uma fonte chamada \"%1\" que não é uma Browser Source.")
					 .arg(sourceName));
			return false;
		}
		obs_source_update(source, settings);
	} else {
		source = obs_source_create(kBrowserSourceId, name.constData(), settings, nullptr);
		if (!source) {
			setError(errorText, QStringLiteral("Não foi possível criar a Browser Source no OBS."));
			return false;
		}
	}
	settings = nullptr;

	OBSSourceAutoRelease sceneSource = obs_frontend_get_current_scene();
	if (!sceneSource) {
		setError(errorText, QStringLiteral("Nenhum scene ativo no OBS."));
		return false;
	}

	if (obs_scene_t *scene = obs_scene_from_source(sceneSource)) {
		// One atomic update, so the render thread never draws the item added but not yet fitted, or at its
		// new scale but its old position: on a scene that is on air, that frame would go out. Graphics first,
		// as OBS itself adds sources: the render thread takes the graphics lock before the scene's.
		struct Placement {
			obs_source_t *source;
			const char *name;
			int width;
			int height;
		} placement{source, name.constData(), width, height};
		obs_enter_graphics();
		obs_scene_atomic_update(
			scene,
			[](void *data, obs_scene_t *inScene) {
				const auto *p = static_cast<const Placement *>(data);
				// Only the top level is searched: an item inside a group does not count, and a new one
				// is added.
				obs_sceneitem_t *item = obs_scene_find_source(inScene, p->name);
				if (!item)
					item = obs_scene_add(inScene, p->source);
				// Fitted for the size asked for: the page may not have its new size yet.
				if (item)
					fitItemToCanvas(item, p->width, p->height);
			},
			&placement);
		obs_leave_graphics();
	}

	obs_source_set_audio_active(source, includeAudio);
	return true;
}
