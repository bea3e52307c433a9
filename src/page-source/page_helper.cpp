// The page helper: one web page rendered by GStreamer's wpesrc, in a process of its own. Frames go to the
// frame area (shared memory), audio and heartbeats to the socket; the socket brings navigation commands.
//
//   lorvalen-page-helper --probe                          exit 0 when wpesrc can be created here
//   lorvalen-page-helper WIDTH HEIGHT FPS_NUM FPS_DEN URL  run a page (socket on fd 3, frame area on fd 4)

#include "page-source/protocol.hpp"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <gio/gio.h>
#include <glib-unix.h>
#include <glib/gstdio.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dlfcn.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

struct Helper {
	GMainLoop *loop = nullptr;
	GstElement *pipeline = nullptr;
	GstElement *source = nullptr;
	bool audioLinked = false;
	page::FrameAreaHeader *area = nullptr;
	uint32_t width = 0;
	uint32_t height = 0;
	std::string url;
	std::string css;
	bool onPage = false; // navigated away from about:blank
	std::atomic<bool> firstFrame{false};
	int exitCode = 0;
};

void sendPacket(page::Packet type, const void *data, size_t bytes)
{
	iovec parts[2] = {{&type, sizeof type}, {const_cast<void *>(data), bytes}};
	msghdr message = {};
	message.msg_iov = parts;
	message.msg_iovlen = bytes ? 2 : 1;
	// Never wait for the module: a packet it has no room for is dropped.
	(void)sendmsg(page::kSocketFd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
}

// gst-plugins-bad 1.22's wpe plug-in looks for its web extension in a folder its build misspelt, unless a
// wpe-extension folder sits beside the plug-in file. Loading the plug-in through a symlink in a folder that
// has one gives WebKit the extension that delivers the page's audio.
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

void loadWpeWithItsExtension()
{
	GstPlugin *plugin = gst_registry_find_plugin(gst_registry_get(), "wpe");
	if (!plugin)
		return;
	const std::string file = gst_plugin_get_filename(plugin) ? gst_plugin_get_filename(plugin) : "";
	gst_object_unref(plugin);
	if (file.empty())
		return;
	gchar *pluginDir = g_path_get_dirname(file.c_str());
	gchar *libDir = g_path_get_dirname(pluginDir);
	gchar *extension = g_build_filename(libDir, "gst-plugins-bad", "wpe-extension", nullptr);
	gchar *folder = g_build_filename(g_get_user_cache_dir(), "lorvalen-page-helper", "wpe", nullptr);
	gchar *link = g_build_filename(folder, "libgstwpe.so", nullptr);
	gchar *extensionLink = g_build_filename(folder, "wpe-extension", nullptr);
	if (g_file_test(extension, G_FILE_TEST_IS_DIR) && g_mkdir_with_parents(folder, 0700) == 0 &&
	    replaceSymlink(file, link) && replaceSymlink(extension, extensionLink)) {
		GstPlugin *loaded = gst_plugin_load_file(link, nullptr);
		if (loaded)
			gst_object_unref(loaded);
	}
	g_free(extensionLink);
	g_free(link);
	g_free(folder);
	g_free(extension);
	g_free(libDir);
	g_free(pluginDir);
}

// WebKit's default autoplay policy plays sound only after a user gesture, and since WebKit 2.48 it holds
// back WebAudio too: a page's AudioContext stays suspended. A browser source plays without a gesture, so
// every navigation of wpesrc's view gets a policy that allows it. WebKit is not linked here (its API version
// differs between releases); its functions are taken from the copy wpesrc has loaded.
using UseWithPolicies = void (*)(GObject *decision, GObject *policies);
UseWithPolicies useWithPolicies = nullptr;
GObject *allowAutoplay = nullptr;

int findWebKit(dl_phdr_info *info, size_t, void *found)
{
	if (info->dlpi_name && strstr(info->dlpi_name, "libWPEWebKit-")) {
		*static_cast<std::string *>(found) = info->dlpi_name;
		return 1;
	}
	return 0;
}

gboolean onDecidePolicy(GObject *, GObject *decision, int type, gpointer)
{
	const int navigationAction = 0;
	if (type != navigationAction)
		return FALSE;
	useWithPolicies(decision, allowAutoplay);
	return TRUE;
}

void onConfigureWebView(GstElement *, GObject *view, gpointer)
{
	std::string library;
	dl_iterate_phdr(findWebKit, &library);
	void *webkit = library.empty() ? nullptr : dlopen(library.c_str(), RTLD_LAZY | RTLD_NOLOAD);
	if (!webkit)
		return;
	auto policiesType = reinterpret_cast<GType (*)()>(dlsym(webkit, "webkit_website_policies_get_type"));
	useWithPolicies = reinterpret_cast<UseWithPolicies>(dlsym(webkit, "webkit_policy_decision_use_with_policies"));
	if (policiesType && useWithPolicies) {
		const int autoplayAllow = 0;
		allowAutoplay = G_OBJECT(g_object_new(policiesType(), "autoplay", autoplayAllow, nullptr));
		g_signal_connect(view, "decide-policy", G_CALLBACK(onDecidePolicy), nullptr);
	}
	dlclose(webkit);
}

// wpesrc is a bin; the view belongs to the video source inside it.
void allowSoundWithoutGesture(GstElement *source)
{
	GstIterator *children = gst_bin_iterate_elements(GST_BIN(source));
	GValue child = G_VALUE_INIT;
	while (gst_iterator_next(children, &child) == GST_ITERATOR_OK) {
		GstElement *element = GST_ELEMENT(g_value_get_object(&child));
		if (g_signal_lookup("configure-web-view", G_OBJECT_TYPE(element)))
			g_signal_connect(element, "configure-web-view", G_CALLBACK(onConfigureWebView), nullptr);
		g_value_reset(&child);
	}
	g_value_unset(&child);
	gst_iterator_free(children);
}

// The style sheet goes in as a style element, added again whenever a load has dropped it.
void applyCss(Helper &helper)
{
	if (!helper.onPage || helper.css.empty())
		return;
	gchar *quoted = g_strescape(helper.css.c_str(), nullptr);
	gchar *script =
		g_strdup_printf("(function(){var s=document.getElementById('lorvalen-page-css');"
				"if(s&&s.isConnected)return;s=document.createElement('style');s.id='lorvalen-page-css';"
				"s.textContent=\"%s\";(document.head||document.documentElement).appendChild(s);})()",
				quoted);
	g_signal_emit_by_name(helper.source, "run-javascript", script);
	g_free(script);
	g_free(quoted);
}

void onConnected(GObject *client, GAsyncResult *result, gpointer)
{
	GError *error = nullptr;
	GSocketConnection *connection = g_socket_client_connect_to_uri_finish(G_SOCKET_CLIENT(client), result, &error);
	if (connection) {
		g_io_stream_close(G_IO_STREAM(connection), nullptr, nullptr);
		g_object_unref(connection);
	} else {
		// Past its first page WebKit reports no failed load: an unreachable server would go unnoticed.
		const std::string text = std::string("cannot connect: ") + (error ? error->message : "unknown error");
		sendPacket(page::Packet::Failed, text.data(), text.size());
	}
	g_clear_error(&error);
}

void checkReachable(const std::string &url)
{
	const bool secure = g_str_has_prefix(url.c_str(), "https:");
	if (!secure && !g_str_has_prefix(url.c_str(), "http:"))
		return;
	GSocketClient *client = g_socket_client_new();
	g_socket_client_set_timeout(client, 10);
	g_socket_client_connect_to_uri_async(client, url.c_str(), secure ? 443 : 80, nullptr, onConnected, nullptr);
	g_object_unref(client);
}

void navigate(Helper &helper)
{
	if (!helper.firstFrame.load())
		return; // wpesrc waits for a page's first frame without a limit: start on about:blank, go on after it
	helper.onPage = true;
	g_object_set(helper.source, "location", helper.url.c_str(), nullptr);
	checkReachable(helper.url);
}

gboolean onFirstFrame(gpointer data)
{
	navigate(*static_cast<Helper *>(data));
	return G_SOURCE_REMOVE;
}

GstFlowReturn onVideoSample(GstAppSink *sink, gpointer data)
{
	auto &helper = *static_cast<Helper *>(data);
	GstSample *sample = gst_app_sink_pull_sample(sink);
	if (!sample)
		return GST_FLOW_ERROR;
	GstVideoInfo info;
	GstVideoFrame frame;
	if (gst_video_info_from_caps(&info, gst_sample_get_caps(sample)) &&
	    GST_VIDEO_INFO_WIDTH(&info) == int(helper.width) && GST_VIDEO_INFO_HEIGHT(&info) == int(helper.height) &&
	    gst_video_frame_map(&frame, &info, gst_sample_get_buffer(sample), GST_MAP_READ)) {
		page::FrameAreaHeader *area = helper.area;
		const uint64_t published = area->published.load(std::memory_order_relaxed);
		const int slot = int(published % 2);
		auto *out = reinterpret_cast<uint8_t *>(area) + page::slotOffset(helper.width, helper.height, slot);
		const auto *in = static_cast<const uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
		const size_t inStride = size_t(GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0));
		const size_t row = size_t(helper.width) * 4;
		// wpesrc hands over a new buffer at every tick, changed or not. A frame like the last one published
		// is not published again, which spares OBS uploading it.
		bool same = published > 0;
		const auto *last = reinterpret_cast<const uint8_t *>(area) +
				   page::slotOffset(helper.width, helper.height, int((published - 1) % 2));
		for (uint32_t y = 0; same && y < helper.height; ++y)
			same = memcmp(last + y * row, in + y * inStride, row) == 0;
		if (same) {
			gst_video_frame_unmap(&frame);
			gst_sample_unref(sample);
			return GST_FLOW_OK;
		}
		area->slotSequence[slot].fetch_add(1, std::memory_order_acq_rel);
		if (inStride == row) {
			memcpy(out, in, row * helper.height);
		} else {
			for (uint32_t y = 0; y < helper.height; ++y)
				memcpy(out + y * row, in + y * inStride, row);
		}
		area->slotSequence[slot].fetch_add(1, std::memory_order_release);
		area->published.store(published + 1, std::memory_order_release);
		gst_video_frame_unmap(&frame);
		if (!helper.firstFrame.exchange(true))
			g_main_context_invoke(nullptr, onFirstFrame, &helper);
	}
	gst_sample_unref(sample);
	return GST_FLOW_OK;
}

GstFlowReturn onAudioSample(GstAppSink *sink, gpointer)
{
	GstSample *sample = gst_app_sink_pull_sample(sink);
	if (!sample)
		return GST_FLOW_ERROR;
	const GstStructure *caps = gst_caps_get_structure(gst_sample_get_caps(sample), 0);
	int rate = 0;
	int channels = 0;
	GstMapInfo map;
	if (gst_structure_get_int(caps, "rate", &rate) && gst_structure_get_int(caps, "channels", &channels) &&
	    channels > 0 && gst_buffer_map(gst_sample_get_buffer(sample), &map, GST_MAP_READ)) {
		const size_t frameSize = size_t(channels) * sizeof(float);
		const size_t perPacket = (page::kMaxPacketBytes - sizeof(page::AudioHeader)) / frameSize;
		size_t frames = map.size / frameSize;
		const uint8_t *data = map.data;
		while (frames > 0) {
			const size_t count = frames < perPacket ? frames : perPacket;
			page::AudioHeader header = {page::Packet::Audio, uint32_t(rate), uint32_t(channels),
						    uint32_t(count)};
			iovec parts[2] = {{&header, sizeof header}, {const_cast<uint8_t *>(data), count * frameSize}};
			msghdr message = {};
			message.msg_iov = parts;
			message.msg_iovlen = 2;
			(void)sendmsg(page::kSocketFd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
			data += count * frameSize;
			frames -= count;
		}
		gst_buffer_unmap(gst_sample_get_buffer(sample), &map);
	}
	gst_sample_unref(sample);
	return GST_FLOW_OK;
}

GstElement *makeAppSink(bool video, Helper &helper)
{
	GstElement *sink = gst_element_factory_make("appsink", nullptr);
	GstAppSinkCallbacks callbacks = {};
	callbacks.new_sample = video ? onVideoSample : onAudioSample;
	gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, &helper, nullptr);
	// Video keeps only the newest frame; audio goes on as it comes, paced by the page's own clock.
	g_object_set(sink, "max-buffers", video ? 1u : 0u, "drop", video ? TRUE : FALSE, "sync", video ? TRUE : FALSE,
		     nullptr);
	return sink;
}

// The page's first audio stream goes to the module; any further one is dropped.
void onPadAdded(GstElement *, GstPad *pad, gpointer data)
{
	auto &helper = *static_cast<Helper *>(data);
	gchar *name = gst_pad_get_name(pad);
	const bool audio = g_str_has_prefix(name, "audio_");
	g_free(name);
	if (!audio)
		return;
	GstElement *sink;
	if (!helper.audioLinked) {
		sink = makeAppSink(false, helper);
		helper.audioLinked = true;
	} else {
		sink = gst_element_factory_make("fakesink", nullptr);
		g_object_set(sink, "async", FALSE, "sync", FALSE, nullptr);
	}
	gst_bin_add(GST_BIN(helper.pipeline), sink);
	GstPad *sinkPad = gst_element_get_static_pad(sink, "sink");
	gst_pad_link(pad, sinkPad);
	gst_object_unref(sinkPad);
	gst_element_sync_state_with_parent(sink);
}

gboolean onBusMessage(GstBus *, GstMessage *message, gpointer data)
{
	auto &helper = *static_cast<Helper *>(data);
	if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
		GError *error = nullptr;
		gst_message_parse_error(message, &error, nullptr);
		const std::string text = error ? error->message : "unknown error";
		g_clear_error(&error);
		sendPacket(page::Packet::Failed, text.data(), text.size());
		helper.exitCode = 3;
		g_main_loop_quit(helper.loop);
	} else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS) {
		g_main_loop_quit(helper.loop);
	}
	return G_SOURCE_CONTINUE;
}

gboolean onCommand(gint fd, GIOCondition, gpointer data)
{
	auto &helper = *static_cast<Helper *>(data);
	static char buffer[page::kMaxPacketBytes];
	const ssize_t received = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
	if (received < 0 && (errno == EAGAIN || errno == EINTR))
		return G_SOURCE_CONTINUE;
	if (received < ssize_t(sizeof(page::Packet))) {
		g_main_loop_quit(helper.loop); // the module closed its end
		return G_SOURCE_REMOVE;
	}
	page::Packet type;
	memcpy(&type, buffer, sizeof type);
	const std::string text(buffer + sizeof type, size_t(received) - sizeof type);
	if (type == page::Packet::Navigate) {
		helper.url = text;
		navigate(helper);
	} else if (type == page::Packet::Css) {
		helper.css = text;
		applyCss(helper);
	} else if (type == page::Packet::Reload && helper.onPage) {
		g_signal_emit_by_name(helper.source, "run-javascript", "location.reload()");
	}
	return G_SOURCE_CONTINUE;
}

gboolean onHeartbeat(gpointer data)
{
	auto &helper = *static_cast<Helper *>(data);
	sendPacket(page::Packet::Heartbeat, nullptr, 0);
	applyCss(helper);
	return G_SOURCE_CONTINUE;
}

int runPage(Helper &helper, int fpsNum, int fpsDen)
{
	struct stat status;
	const size_t bytes = page::frameAreaBytes(helper.width, helper.height);
	if (fstat(page::kFrameAreaFd, &status) != 0 || size_t(status.st_size) < bytes)
		return 2;
	void *mapped = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, page::kFrameAreaFd, 0);
	if (mapped == MAP_FAILED)
		return 2;
	helper.area = static_cast<page::FrameAreaHeader *>(mapped);

	helper.pipeline = gst_pipeline_new("page");
	helper.source = gst_element_factory_make("wpesrc", nullptr);
	GstElement *filter = gst_element_factory_make("capsfilter", nullptr);
	GstElement *queue = gst_element_factory_make("queue", nullptr);
	if (!helper.source || !filter || !queue)
		return 2;
	GstElement *sink = makeAppSink(true, helper);
	// Only system-memory BGRA: GL memory would bring WPE's GL context into the pipeline.
	GstCaps *caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGRA", "width", G_TYPE_INT,
					    int(helper.width), "height", G_TYPE_INT, int(helper.height), "framerate",
					    GST_TYPE_FRACTION, fpsNum, fpsDen, nullptr);
	g_object_set(filter, "caps", caps, nullptr);
	gst_caps_unref(caps);
	g_object_set(queue, "max-size-buffers", 2u, "max-size-bytes", 0u, "max-size-time", guint64(0), "leaky", 2,
		     nullptr);
	g_object_set(helper.source, "location", "about:blank", "draw-background", FALSE, nullptr);
	allowSoundWithoutGesture(helper.source);
	gst_bin_add_many(GST_BIN(helper.pipeline), helper.source, filter, queue, sink, nullptr);
	if (!gst_element_link_pads(helper.source, "video", filter, "sink") ||
	    !gst_element_link_many(filter, queue, sink, nullptr))
		return 2;
	g_signal_connect(helper.source, "pad-added", G_CALLBACK(onPadAdded), &helper);

	GstBus *bus = gst_pipeline_get_bus(GST_PIPELINE(helper.pipeline));
	gst_bus_add_watch(bus, onBusMessage, &helper);
	gst_object_unref(bus);
	g_unix_fd_add(page::kSocketFd, GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR), onCommand, &helper);
	g_timeout_add(page::kHeartbeatMs, onHeartbeat, &helper);
	sendPacket(page::Packet::Heartbeat, nullptr, 0);

	if (gst_element_set_state(helper.pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
		return 2;
	g_main_loop_run(helper.loop);
	// No teardown: the module ends this process group, WebKit's processes with it, and a pipeline stuck in a
	// state change would only keep this process alive.
	return helper.exitCode;
}

} // namespace

int main(int argc, char **argv)
{
	// Die with the module's process. Keep WebKit off the session bus: it would start accessibility services
	// there (or a bus of its own through X11), and they outlive the page.
	prctl(PR_SET_PDEATHSIG, SIGKILL);
	signal(SIGPIPE, SIG_IGN);
	g_setenv("NO_AT_BRIDGE", "1", TRUE);
	g_setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/dev/null", TRUE);

	gst_init(&argc, &argv);
	loadWpeWithItsExtension();

	if (argc == 2 && strcmp(argv[1], "--probe") == 0) {
		GstElement *source = gst_element_factory_make("wpesrc", nullptr);
		if (!source)
			return 1;
		gst_object_unref(source);
		return 0;
	}
	if (argc != 6) {
		fprintf(stderr, "usage: %s --probe | WIDTH HEIGHT FPS_NUM FPS_DEN URL\n", argv[0]);
		return 64;
	}
	Helper helper;
	helper.width = uint32_t(strtoul(argv[1], nullptr, 10));
	helper.height = uint32_t(strtoul(argv[2], nullptr, 10));
	const int fpsNum = int(strtol(argv[3], nullptr, 10));
	const int fpsDen = int(strtol(argv[4], nullptr, 10));
	helper.url = argv[5];
	if (helper.width == 0 || helper.height == 0 || fpsNum <= 0 || fpsDen <= 0)
		return 64;
	helper.loop = g_main_loop_new(nullptr, FALSE);
	const int code = runPage(helper, fpsNum, fpsDen);
	fflush(nullptr);
	_exit(code);
}
