// The page helper: one web page rendered by GStreamer's wpesrc, in a process of its own. Frames go to the
// frame area (shared memory), audio and heartbeats to the socket; the socket brings the page's address, style
// sheet and reloads. GST_DEBUG=lorvalen-page:6 traces what it does.
//
//   lorvalen-page-helper --probe                      exit 0 when wpesrc can be created here
//   lorvalen-page-helper WIDTH HEIGHT FPS_NUM FPS_DEN  run a page (socket on fd 3, frame area on fd 4)

#include "page-source/channel.hpp"
#include "page-source/page_bridge.hpp"
#include "page-source/webkit_quirks.hpp"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <gio/gio.h>
#include <glib-unix.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

GST_DEBUG_CATEGORY(lorvalen_page_debug);
#define GST_CAT_DEFAULT lorvalen_page_debug

namespace {

namespace helper_exit = page::helper_exit;

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
	int exitCode = helper_exit::kOk;
};

// Never waits for the module: a packet it has no room for is dropped (the next heartbeat or buffer follows).
void send(const page::PacketBytes &packet)
{
	if (page::sendPacket(page::kSocketFd, packet) == page::SendResult::Full)
		GST_LOG("the module's socket is full: a packet of %zu bytes dropped", packet.size());
}

void sendSignal(page::Packet type)
{
	page::PacketBytes packet;
	if (page::encodeSignal(type, packet))
		send(packet);
}

void sendFailure(const std::string &text)
{
	page::PacketBytes packet;
	if (page::encodeText(page::Packet::Failed, text, packet))
		send(packet);
	else
		GST_WARNING("a failure of %zu bytes is longer than a packet; not reported: %s", text.size(),
			    text.c_str());
}

void applyCss(Helper &helper)
{
	if (helper.onPage)
		page::applyStyleSheet(helper.source, helper.css);
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
		GST_INFO("%s", text.c_str());
		sendFailure(text);
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
	// wpesrc waits for a page's first frame without a limit: start on about:blank, go on after it.
	if (!helper.firstFrame.load() || helper.url.empty())
		return;
	GST_INFO("navigating to %s", helper.url.c_str());
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
		// wpesrc hands over a new buffer at every tick, changed or not; publishFrame skips a repeated one.
		const bool published =
			page::publishFrame(helper.area, helper.width, helper.height,
					   static_cast<const uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0)),
					   size_t(GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0)));
		gst_video_frame_unmap(&frame);
		if (published) {
			GST_LOG("frame %" G_GUINT64_FORMAT " published", guint64(helper.area->published.load()));
			if (!helper.firstFrame.exchange(true))
				g_main_context_invoke(nullptr, onFirstFrame, &helper);
		}
	} else {
		GST_WARNING("a video sample that is not %ux%u BGRA: dropped", helper.width, helper.height);
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
	    rate > 0 && channels > 0 && gst_buffer_map(gst_sample_get_buffer(sample), &map, GST_MAP_READ)) {
		const size_t frameSize = size_t(channels) * sizeof(float);
		const size_t perPacket = page::audioFramesPerPacket(uint32_t(channels));
		size_t frames = map.size / frameSize;
		GST_LOG("%zu audio frames at %d Hz, %d channels", frames, rate, channels);
		const auto *samples = reinterpret_cast<const float *>(map.data);
		page::PacketBytes packet;
		while (frames > 0) {
			const size_t count = frames < perPacket ? frames : perPacket;
			if (page::encodeAudio(uint32_t(rate), uint32_t(channels), samples, uint32_t(count), packet))
				send(packet);
			samples += count * size_t(channels);
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
	GST_INFO("audio pad %s:%s %s", GST_DEBUG_PAD_NAME(pad),
		 helper.audioLinked ? "dropped: one stream is linked already" : "linked to the module");
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
		GST_ERROR_OBJECT(GST_MESSAGE_SRC(message), "%s", text.c_str());
		sendFailure(text);
		helper.exitCode = helper_exit::kPipelineError;
		g_main_loop_quit(helper.loop);
	} else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS) {
		GST_INFO("end of stream");
		g_main_loop_quit(helper.loop);
	}
	return G_SOURCE_CONTINUE;
}

void perform(Helper &helper, const page::Message &command)
{
	switch (command.type) {
	case page::Packet::Navigate:
		helper.url = std::string(command.text);
		navigate(helper);
		break;
	case page::Packet::Css:
		GST_DEBUG("style sheet of %zu bytes", command.text.size());
		helper.css = std::string(command.text);
		applyCss(helper);
		break;
	case page::Packet::Reload:
		if (helper.onPage)
			page::reloadPage(helper.source);
		break;
	default:
		GST_WARNING("a packet of type %u is not a command: ignored", unsigned(command.type));
	}
}

gboolean onCommand(gint fd, GIOCondition, gpointer data)
{
	auto &helper = *static_cast<Helper *>(data);
	alignas(float) static uint8_t buffer[page::kMaxPacketBytes];
	for (;;) {
		const ssize_t received = page::receivePacket(fd, buffer);
		if (received == 0)
			return G_SOURCE_CONTINUE;
		if (received < 0) {
			GST_INFO("the module closed its end");
			g_main_loop_quit(helper.loop);
			return G_SOURCE_REMOVE;
		}
		page::Message command;
		if (page::decode(buffer, size_t(received), command))
			perform(helper, command);
		else
			GST_WARNING("a packet of %zd bytes that is no command: ignored", received);
	}
}

gboolean onHeartbeat(gpointer data)
{
	auto &helper = *static_cast<Helper *>(data);
	sendSignal(page::Packet::Heartbeat);
	applyCss(helper);
	return G_SOURCE_CONTINUE;
}

// The frame area the module made for this size; the descriptor is closed once it is mapped, so nothing here
// can resize the area later (the module sealed it too).
bool mapFrameArea(Helper &helper)
{
	struct stat status;
	const size_t bytes = page::frameAreaBytes(helper.width, helper.height);
	if (fstat(page::kFrameAreaFd, &status) != 0 || size_t(status.st_size) != bytes) {
		GST_ERROR("no frame area of %zu bytes at descriptor %d", bytes, page::kFrameAreaFd);
		return false;
	}
	void *mapped = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, page::kFrameAreaFd, 0);
	close(page::kFrameAreaFd);
	if (mapped == MAP_FAILED)
		return false;
	helper.area = static_cast<page::FrameAreaHeader *>(mapped);
	if (helper.area->magic != page::kFrameAreaMagic || helper.area->width != helper.width ||
	    helper.area->height != helper.height) {
		GST_ERROR("the frame area is not one for %ux%u", helper.width, helper.height);
		return false;
	}
	return true;
}

int runPage(Helper &helper, int fpsNum, int fpsDen)
{
	if (!mapFrameArea(helper))
		return helper_exit::kBadFrameArea;

	helper.pipeline = gst_pipeline_new("page");
	helper.source = gst_element_factory_make("wpesrc", nullptr);
	GstElement *filter = gst_element_factory_make("capsfilter", nullptr);
	GstElement *queue = gst_element_factory_make("queue", nullptr);
	if (!helper.source || !filter || !queue)
		return helper_exit::kNoPipeline;
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
	page::allowSoundWithoutGesture(helper.source);
	gst_bin_add_many(GST_BIN(helper.pipeline), helper.source, filter, queue, sink, nullptr);
	if (!gst_element_link_pads(helper.source, "video", filter, "sink") ||
	    !gst_element_link_many(filter, queue, sink, nullptr))
		return helper_exit::kNoPipeline;
	g_signal_connect(helper.source, "pad-added", G_CALLBACK(onPadAdded), &helper);

	GstBus *bus = gst_pipeline_get_bus(GST_PIPELINE(helper.pipeline));
	gst_bus_add_watch(bus, onBusMessage, &helper);
	gst_object_unref(bus);
	g_unix_fd_add(page::kSocketFd, GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR), onCommand, &helper);
	g_timeout_add(page::kHeartbeatMs, onHeartbeat, &helper);
	sendSignal(page::Packet::Heartbeat);

	GST_INFO("a %ux%u page at %d/%d fps", helper.width, helper.height, fpsNum, fpsDen);
	if (gst_element_set_state(helper.pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
		return helper_exit::kNoPipeline;
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
	GST_DEBUG_CATEGORY_INIT(lorvalen_page_debug, "lorvalen-page", 0, "lorvalen page helper");
	page::loadWpeWithItsExtension();

	if (argc == 2 && strcmp(argv[1], "--probe") == 0) {
		GstElement *source = gst_element_factory_make("wpesrc", nullptr);
		if (!source)
			return helper_exit::kNoWpesrc;
		gst_object_unref(source);
		return helper_exit::kOk;
	}
	if (argc != 5) {
		fprintf(stderr, "usage: %s --probe | WIDTH HEIGHT FPS_NUM FPS_DEN\n", argv[0]);
		return helper_exit::kUsage;
	}
	Helper helper;
	helper.width = uint32_t(strtoul(argv[1], nullptr, 10));
	helper.height = uint32_t(strtoul(argv[2], nullptr, 10));
	const int fpsNum = int(strtol(argv[3], nullptr, 10));
	const int fpsDen = int(strtol(argv[4], nullptr, 10));
	if (helper.width == 0 || helper.height == 0 || fpsNum <= 0 || fpsDen <= 0)
		return helper_exit::kUsage;
	helper.loop = g_main_loop_new(nullptr, FALSE);
	const int code = runPage(helper, fpsNum, fpsDen);
	fflush(nullptr);
	_exit(code);
}
