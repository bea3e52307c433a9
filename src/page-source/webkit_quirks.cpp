#include "page-source/webkit_quirks.hpp"

#include <glib/gstdio.h>
#include <gst/audio/audio.h>

#include <cstring>
#include <string>

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

GST_DEBUG_CATEGORY_EXTERN(lorvalen_page_debug);
#define GST_CAT_DEFAULT lorvalen_page_debug

namespace page {

namespace {

bool replaceSymlink(const std::string &target, const std::string &path)
{
	char current[4096];
	const ssize_t length = readlink(path.c_str(), current, sizeof current - 1);
	if (length >= 0 && target == std::string(current, size_t(length)))
		return true;
	const std::string temporary = path + "." + std::to_string(getpid());
	g_unlink(temporary.c_str());
	return symlink(target.c_str(), temporary.c_str()) == 0 && rename(temporary.c_str(), path.c_str()) == 0;
}

// Replaces the folder `to` by a copy of the files in `from`, each written whole before it takes its name.
bool replaceCopies(const char *from, const std::string &to)
{
	struct stat status;
	if (lstat(to.c_str(), &status) == 0 && !S_ISDIR(status.st_mode))
		g_unlink(to.c_str());
	GDir *folder = g_dir_open(from, 0, nullptr);
	bool copied = folder && g_mkdir_with_parents(to.c_str(), 0700) == 0;
	while (const gchar *name = copied ? g_dir_read_name(folder) : nullptr) {
		gchar *source = g_build_filename(from, name, nullptr);
		gchar *target = g_build_filename(to.c_str(), name, nullptr);
		gchar *contents = nullptr;
		gsize length = 0;
		copied = g_file_get_contents(source, &contents, &length, nullptr) &&
			 g_file_set_contents(target, contents, gssize(length), nullptr);
		g_free(contents);
		g_free(target);
		g_free(source);
	}
	if (folder)
		g_dir_close(folder);
	return copied;
}

// The path of the loaded library whose name contains `part`.
struct Search {
	const char *part;
	std::string path;
};

int findLibrary(dl_phdr_info *info, size_t, void *data)
{
	auto *search = static_cast<Search *>(data);
	if (info->dlpi_name && strstr(info->dlpi_name, search->part)) {
		search->path = info->dlpi_name;
		return 1;
	}
	return 0;
}

// WebKit's default autoplay policy plays sound only after a user gesture, and since WebKit 2.48 it holds back
// Web Audio too: a page's AudioContext stays suspended.
using UseWithPolicies = void (*)(GObject *decision, GObject *policies);
UseWithPolicies useWithPolicies = nullptr;
GObject *allowAutoplay = nullptr;

gboolean onDecidePolicy(GObject *, GObject *decision, int type, gpointer)
{
	const int navigationAction = 0;
	if (type != navigationAction)
		return FALSE;
	useWithPolicies(decision, allowAutoplay);
	return TRUE;
}

// On wpesrc's WPE thread, before the view's first load.
void onConfigureWebView(GstElement *, GObject *view, gpointer)
{
	auto policiesType = reinterpret_cast<GType (*)()>(webkitFunction("webkit_website_policies_get_type"));
	useWithPolicies = reinterpret_cast<UseWithPolicies>(webkitFunction("webkit_policy_decision_use_with_policies"));
	if (policiesType && useWithPolicies) {
		const int autoplayAllow = 0;
		if (!allowAutoplay)
			allowAutoplay = G_OBJECT(g_object_new(policiesType(), "autoplay", autoplayAllow, nullptr));
		g_signal_connect(view, "decide-policy", G_CALLBACK(onDecidePolicy), nullptr);
		GST_INFO("every navigation allows autoplay");
	} else {
		GST_WARNING("WebKit has no website policies here: pages play sound only after a gesture");
	}
	// OBS's own browser source serves a local file from a host of its own, so that the page can fetch the files
	// beside it; a file: page needs this setting for the same.
	auto settingsOf = reinterpret_cast<GObject *(*)(GObject *)>(webkitFunction("webkit_web_view_get_settings"));
	if (GObject *settings = settingsOf ? settingsOf(view) : nullptr)
		g_object_set(settings, "allow-file-access-from-file-urls", TRUE, nullptr);
}

bool interleaved(GstPad *pad)
{
	GstCaps *caps = gst_pad_get_current_caps(pad);
	const gchar *layout = caps ? gst_structure_get_string(gst_caps_get_structure(caps, 0), "layout") : nullptr;
	const bool yes = layout && strcmp(layout, "interleaved") == 0;
	if (caps)
		gst_caps_unref(caps);
	return yes;
}

GstPadProbeReturn onAudioBuffer(GstPad *pad, GstPadProbeInfo *info, gpointer)
{
	GstBuffer *buffer = GST_PAD_PROBE_INFO_BUFFER(info);
	// Planar sound needs its meta, and there WebKit's is right.
	if (!gst_buffer_get_audio_meta(buffer) || !interleaved(pad))
		return GST_PAD_PROBE_OK;
	buffer = gst_buffer_make_writable(buffer);
	if (GstAudioMeta *meta = gst_buffer_get_audio_meta(buffer))
		gst_buffer_remove_meta(buffer, &meta->meta);
	GST_PAD_PROBE_INFO_DATA(info) = buffer;
	return GST_PAD_PROBE_OK;
}

} // namespace

void dropAudioMeta(GstPad *pad)
{
	gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, onAudioBuffer, nullptr, nullptr);
}

bool loadWpeWithItsExtension()
{
	GstPlugin *plugin = gst_registry_find_plugin(gst_registry_get(), "wpe");
	if (!plugin)
		return false;
	const std::string file = gst_plugin_get_filename(plugin) ? gst_plugin_get_filename(plugin) : "";
	gst_object_unref(plugin);
	if (file.empty())
		return false;
	gchar *self = g_file_read_link("/proc/self/exe", nullptr);
	gchar *selfDir = self ? g_path_get_dirname(self) : nullptr;
	gchar *own = selfDir ? g_build_filename(selfDir, "wpe-extension", nullptr) : nullptr;
	gchar *pluginDir = g_path_get_dirname(file.c_str());
	gchar *libDir = g_path_get_dirname(pluginDir);
	const bool mended = own && g_file_test(own, G_FILE_TEST_IS_DIR);
	gchar *extension = mended ? g_strdup(own)
				  : g_build_filename(libDir, "gst-plugins-bad", "wpe-extension", nullptr);
	// One folder per extension: helpers of two installs may run at once, each with its own.
	gchar *name = g_strdup_printf("wpe-%08x", g_str_hash(extension));
	gchar *folder = g_build_filename(g_get_user_cache_dir(), "lorvalen-page-helper", name, nullptr);
	gchar *link = g_build_filename(folder, "libgstwpe.so", nullptr);
	gchar *extensionLink = g_build_filename(folder, "wpe-extension", nullptr);
	bool loaded = false;
	if (!g_file_test(extension, G_FILE_TEST_IS_DIR)) {
		GST_DEBUG("no web extension at %s: the wpe plug-in is loaded as it is", extension);
	} else if (g_mkdir_with_parents(folder, 0700) == 0 && replaceSymlink(file, link) &&
		   // WebKit's web process may run in a sandbox that shows it the folder it is given and not where a
		   // link there points: the mended extension, outside the system's folders, is copied in.
		   (mended ? replaceCopies(extension, extensionLink) : replaceSymlink(extension, extensionLink))) {
		GstPlugin *through = gst_plugin_load_file(link, nullptr);
		GST_INFO("wpe plug-in loaded through %s, beside the web extension %s: %s", link, extension,
			 through ? "done" : "failed");
		loaded = through != nullptr;
		if (through)
			gst_object_unref(through);
	} else {
		GST_WARNING("cannot link the wpe plug-in beside its web extension in %s: pages may have no sound",
			    folder);
	}
	g_free(extensionLink);
	g_free(link);
	g_free(folder);
	g_free(name);
	g_free(extension);
	g_free(libDir);
	g_free(pluginDir);
	g_free(own);
	g_free(selfDir);
	g_free(self);
	return mended && loaded;
}

void *loadedFunction(const char *library, const char *name)
{
	Search search = {library, std::string()};
	dl_iterate_phdr(findLibrary, &search);
	void *handle = search.path.empty() ? nullptr : dlopen(search.path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
	if (!handle)
		return nullptr;
	void *function = dlsym(handle, name);
	dlclose(handle); // still loaded by wpesrc: the function stays where it is
	return function;
}

void *webkitFunction(const char *name)
{
	return loadedFunction("libWPEWebKit-", name);
}

// wpesrc is a bin; the view belongs to the video source inside it.
void connectToVideoSource(GstElement *wpesrc, const char *signal, GCallback handler, gpointer data)
{
	GstIterator *children = gst_bin_iterate_elements(GST_BIN(wpesrc));
	GValue child = G_VALUE_INIT;
	while (gst_iterator_next(children, &child) == GST_ITERATOR_OK) {
		GstElement *element = GST_ELEMENT(g_value_get_object(&child));
		if (g_signal_lookup(signal, G_OBJECT_TYPE(element)))
			g_signal_connect(element, signal, handler, data);
		g_value_reset(&child);
	}
	g_value_unset(&child);
	gst_iterator_free(children);
}

void configureLikeObsBrowser(GstElement *wpesrc)
{
	connectToVideoSource(wpesrc, "configure-web-view", G_CALLBACK(onConfigureWebView), nullptr);
}

} // namespace page
