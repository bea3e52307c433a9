// The page helper: one web page rendered by GStreamer's wpesrc, in a process of its own. Frames go to the
// frame area (shared memory), sound and heartbeats to the socket; the socket brings the page's address, style
// sheet, reloads, where its sound goes and whether it is shown. GST_DEBUG=lorvalen-page:6 traces what it does.
//
//   lorvalen-page-helper --probe         exit 0 when wpesrc can be created here
//   lorvalen-page-helper WIDTH HEIGHT FPS_NUM FPS_DEN RATE CHANNELS
//                                        run a page (socket on fd 3, frame area on fd 4); its sound is mixed to
//                                        RATE Hz and CHANNELS channels, in OBS's speaker layout of that count

#include "page-source/channel.hpp"
#include "page-source/page_bridge.hpp"
#include "page-source/webkit_quirks.hpp"

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/audio/audio.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <gio/gio.h>
#include <glib-unix.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

GST_DEBUG_CATEGORY(lorvalen_page_debug);
#define GST_CAT_DEFAULT lorvalen_page_debug

namespace {

namespace helper_exit = page::helper_exit;

constexpr int kBlankFramesAfterLoad = 10;

// The page's sound, every stream of it mixed into one in OBS's format: wpesrc's audio pads, each through a queue
// (so that nothing waits on wpesrc's WPE thread), a converter and a resampler, into one mixer, then to the
// module, or to the desktop's default output.
struct Sound {
	GstCaps *caps = nullptr;     // OBS's format
	GstElement *mixer = nullptr; // audiomixer ! capsfilter ! appsink
	std::atomic<bool> toModule{true};
	std::mutex lock;               // desktop
	GstElement *desktop = nullptr; // while the sound goes to the desktop: appsrc ! pulsesink or alsasink
	GstElement *desktopSource = nullptr;
};

struct Helper {
	bool mediaRestarts = false; // the mended web extension is in use
	GMainLoop *loop = nullptr;
	GstElement *pipeline = nullptr;
	GstElement *source = nullptr;
	page::FrameAreaHeader *area = nullptr;
	uint32_t width = 0;
	uint32_t height = 0;
	std::string url;
	std::string css;
	bool onPage = false;                 // navigated away from about:blank
	bool focused = false;                // OBS gave the page the keyboard
	std::atomic<bool> firstFrame{false}; // wpesrc's first, of about:blank
	// Frames are published once the page has replaced about:blank, so that a new helper's blank never takes the
	// place of the picture the source shows: at the page's first frame that is not blank, or, for a page that
	// stays blank, kBlankFramesAfterLoad frames after its load's end (WebKit paints a loaded page a few frames
	// later).
	std::atomic<bool> committed{false}; // the page's document has replaced the one before
	std::atomic<bool> loaded{false};
	int blankFramesAfterLoad = 0; // streaming thread
	std::atomic<bool> publishing{false};
	std::atomic<bool> shown{true};
	// Hidden, wpesrc's thread is held before the queue (videoIn), so that WebKit, its frame never taken, paints no
	// other; its JavaScript and sound go on.
	GstPad *videoIn = nullptr;
	gulong videoHeld = 0;               // main thread
	std::atomic<bool> restAsked{false}; // a hold asked of the main thread by the streaming thread
	Sound sound;
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
	if (!helper.firstFrame.load())
		return;
	if (helper.url.empty() || helper.url == "about:blank") {
		helper.publishing = true; // nothing else will come
		return;
	}
	GST_INFO("navigating to %s", helper.url.c_str());
	helper.onPage = true;
	helper.committed = false;
	g_object_set(helper.source, "location", helper.url.c_str(), nullptr);
	checkReachable(helper.url);
}

gboolean onFirstFrame(gpointer data)
{
	navigate(*static_cast<Helper *>(data));
	return G_SOURCE_REMOVE;
}

// Main thread: the page's load events.
void onPageLoad(page::PageLoad event, void *data)
{
	auto &helper = *static_cast<Helper *>(data);
	if (!helper.onPage)
		return; // about:blank's own
	helper.committed = true;
	// Each document the page loads while hidden learns it.
	if (!helper.shown)
		page::tellHidden(helper.source, true);
	if (helper.focused)
		page::tellFocused(helper.source, true);
	if (event == page::PageLoad::Finished) {
		helper.loaded = true;
		// A load drops the style sheet; OBS's own browser source puts it in at the end of each load too.
		page::applyStyleSheet(helper.source, helper.css);
	}
}

bool blank(const uint8_t *pixels, size_t stride, uint32_t width, uint32_t height)
{
	const std::vector<uint8_t> zeros(size_t(width) * 4, 0);
	for (uint32_t y = 0; y < height; ++y)
		if (memcmp(pixels + y * stride, zeros.data(), zeros.size()) != 0)
			return false;
	return true;
}

// Main thread: wpesrc's thread held while the source is hidden and has a picture, let go when it is shown.
void rest(Helper &helper)
{
	helper.restAsked = false;
	const bool hold = !helper.shown && helper.area->published.load() > 0;
	if (hold && !helper.videoHeld) {
		GST_DEBUG("hidden: the page rests");
		helper.videoHeld = gst_pad_add_probe(
			helper.videoIn, GstPadProbeType(GST_PAD_PROBE_TYPE_BLOCK | GST_PAD_PROBE_TYPE_BUFFER),
			[](GstPad *, GstPadProbeInfo *, gpointer) { return GST_PAD_PROBE_OK; }, nullptr, nullptr);
	} else if (!hold && helper.videoHeld) {
		GST_DEBUG("shown: the page paints again");
		gst_pad_remove_probe(helper.videoIn, helper.videoHeld);
		helper.videoHeld = 0;
	}
}

gboolean onRest(gpointer data)
{
	rest(*static_cast<Helper *>(data));
	return G_SOURCE_REMOVE;
}

GstFlowReturn onVideoSample(GstAppSink *sink, gpointer data)
{
	auto &helper = *static_cast<Helper *>(data);
	GstSample *sample = gst_app_sink_pull_sample(sink);
	if (!sample)
		return GST_FLOW_ERROR;
	if (!helper.firstFrame.exchange(true))
		g_idle_add(onFirstFrame, &helper);
	// Hidden, the source needs no new frame: none is copied once it has its first, and the page then rests.
	if (!helper.shown && helper.area->published.load(std::memory_order_relaxed) > 0) {
		if (!helper.restAsked.exchange(true))
			g_idle_add(onRest, &helper);
		gst_sample_unref(sample);
		return GST_FLOW_OK;
	}
	GstVideoInfo info;
	GstVideoFrame frame;
	if (gst_video_info_from_caps(&info, gst_sample_get_caps(sample)) &&
	    GST_VIDEO_INFO_WIDTH(&info) == int(helper.width) && GST_VIDEO_INFO_HEIGHT(&info) == int(helper.height) &&
	    gst_video_frame_map(&frame, &info, gst_sample_get_buffer(sample), GST_MAP_READ)) {
		const auto *pixels = static_cast<const uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
		const auto stride = size_t(GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0));
		if (!helper.publishing && helper.committed) {
			if (!blank(pixels, stride, helper.width, helper.height)) {
				helper.publishing = true;
				GST_DEBUG("the page painted: its frames are published");
			} else if (helper.loaded && ++helper.blankFramesAfterLoad > kBlankFramesAfterLoad) {
				helper.publishing = true;
				GST_DEBUG("the page has loaded and stays blank: its frames are published");
			}
		}
		// wpesrc hands over a new buffer at every tick, changed or not; publishFrame skips a repeated one.
		if (helper.publishing && page::publishFrame(helper.area, helper.width, helper.height, pixels, stride))
			GST_LOG("frame %" G_GUINT64_FORMAT " published", guint64(helper.area->published.load()));
		gst_video_frame_unmap(&frame);
	} else {
		GST_WARNING("a video sample that is not %ux%u BGRA: dropped", helper.width, helper.height);
	}
	gst_sample_unref(sample);
	return GST_FLOW_OK;
}

void sendToModule(const GstStructure *caps, GstBuffer *buffer)
{
	int rate = 0;
	int channels = 0;
	GstMapInfo map;
	if (!gst_structure_get_int(caps, "rate", &rate) || !gst_structure_get_int(caps, "channels", &channels) ||
	    rate <= 0 || channels <= 0 || !gst_buffer_map(buffer, &map, GST_MAP_READ))
		return;
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
	gst_buffer_unmap(buffer, &map);
}

// The mixer's thread.
GstFlowReturn onSound(GstAppSink *sink, gpointer data)
{
	auto &sound = *static_cast<Sound *>(data);
	GstSample *sample = gst_app_sink_pull_sample(sink);
	if (!sample)
		return GST_FLOW_ERROR;
	GstBuffer *buffer = gst_sample_get_buffer(sample);
	// The mixer's silence while no stream plays: nothing to hand over.
	if (!GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_GAP)) {
		if (sound.toModule) {
			sendToModule(gst_caps_get_structure(gst_sample_get_caps(sample), 0), buffer);
		} else {
			std::lock_guard<std::mutex> hold(sound.lock);
			if (sound.desktopSource)
				gst_app_src_push_buffer(GST_APP_SRC(sound.desktopSource), gst_buffer_ref(buffer));
		}
	}
	gst_sample_unref(sample);
	return GST_FLOW_OK;
}

// Errors of the desktop's output (no sound device, a sound server gone) only cost the page its sound there.
GstBusSyncReply onDesktopMessage(GstBus *, GstMessage *message, gpointer)
{
	if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR || GST_MESSAGE_TYPE(message) == GST_MESSAGE_WARNING) {
		GError *error = nullptr;
		if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR)
			gst_message_parse_error(message, &error, nullptr);
		else
			gst_message_parse_warning(message, &error, nullptr);
		GST_INFO_OBJECT(GST_MESSAGE_SRC(message), "the desktop's sound output: %s",
				error ? error->message : "unknown error");
		g_clear_error(&error);
	}
	gst_message_unref(message);
	return GST_BUS_DROP;
}

// The desktop's default output, as OBS's own browser source reaches it: the sound server (PulseAudio, or PipeWire
// through it), else ALSA's default device; each is tried by opening it. Not autoaudiosink: past those it tries
// JACK, whose client library waits for ever on a lock that a process killed while opening it left in its shared
// database (/dev/shm/jack_db-UID), and the helper would stop answering, page after page.
GstElement *makeDesktopSink()
{
	for (const char *factory : {"pulsesink", "alsasink"}) {
		GstElement *sink = gst_element_factory_make(factory, nullptr);
		if (!sink)
			continue;
		if (gst_element_set_state(sink, GST_STATE_READY) == GST_STATE_CHANGE_SUCCESS)
			return sink;
		GST_INFO("%s did not open", factory);
		gst_element_set_state(sink, GST_STATE_NULL);
		gst_object_unref(sink);
	}
	return nullptr;
}

// Main thread: the sound to the module, or to the desktop's default output through a pipeline of its own, so
// that neither way needs the page's pipeline changed.
void routeSound(Sound &sound, bool toModule)
{
	if (toModule) {
		GstElement *desktop = nullptr;
		{
			std::lock_guard<std::mutex> hold(sound.lock);
			sound.toModule = true;
			desktop = sound.desktop;
			sound.desktop = sound.desktopSource = nullptr;
		}
		if (desktop) {
			GST_DEBUG("the page's sound goes to the module");
			gst_element_set_state(desktop, GST_STATE_NULL);
			gst_object_unref(desktop);
		}
		return;
	}
	if (sound.desktop)
		return;
	GstElement *desktop = gst_pipeline_new("desktop");
	GstElement *source = gst_element_factory_make("appsrc", nullptr);
	GstElement *sink = makeDesktopSink();
	if (!source || !sink) {
		GST_INFO("no sound output on the desktop: the page's sound is dropped");
		gst_object_unref(desktop);
		if (source)
			gst_object_unref(source);
		if (sink)
			gst_object_unref(sink);
		sound.toModule = false;
		return;
	}
	// Live, stamped as it arrives: the desktop's clock paces it. Half a second at most waits, the oldest goes.
	g_object_set(source, "caps", sound.caps, "is-live", TRUE, "format", GST_FORMAT_TIME, "do-timestamp", TRUE,
		     "max-time", guint64(GST_SECOND / 2), "leaky-type", 2 /* downstream */, nullptr);
	gst_bin_add_many(GST_BIN(desktop), source, sink, nullptr);
	GstBus *bus = gst_pipeline_get_bus(GST_PIPELINE(desktop));
	gst_bus_set_sync_handler(bus, onDesktopMessage, nullptr, nullptr);
	gst_object_unref(bus);
	if (!gst_element_link(source, sink) ||
	    gst_element_set_state(desktop, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
		GST_INFO("the desktop's sound output did not start: the page's sound is dropped");
		gst_element_set_state(desktop, GST_STATE_NULL);
		gst_object_unref(desktop);
		desktop = source = nullptr;
	} else {
		GST_DEBUG("the page's sound goes to the desktop");
	}
	std::lock_guard<std::mutex> hold(sound.lock);
	sound.desktop = desktop;
	sound.desktopSource = source;
	sound.toModule = false;
}

// OBS's speaker layout of `channels` channels, in GStreamer's positions; its channel order is GStreamer's too.
guint64 channelMask(int channels)
{
	using P = GstAudioChannelPosition;
	const auto bit = [](P position) {
		return guint64(1) << int(position);
	};
	const guint64 front = bit(GST_AUDIO_CHANNEL_POSITION_FRONT_LEFT) | bit(GST_AUDIO_CHANNEL_POSITION_FRONT_RIGHT);
	const guint64 centre = bit(GST_AUDIO_CHANNEL_POSITION_FRONT_CENTER);
	const guint64 lfe = bit(GST_AUDIO_CHANNEL_POSITION_LFE1);
	const guint64 rear = bit(GST_AUDIO_CHANNEL_POSITION_REAR_LEFT) | bit(GST_AUDIO_CHANNEL_POSITION_REAR_RIGHT);
	const guint64 side = bit(GST_AUDIO_CHANNEL_POSITION_SIDE_LEFT) | bit(GST_AUDIO_CHANNEL_POSITION_SIDE_RIGHT);
	switch (channels) {
	case 2:
		return front;
	case 3:
		return front | lfe;
	case 4:
		return front | centre | bit(GST_AUDIO_CHANNEL_POSITION_REAR_CENTER);
	case 5:
		return front | centre | lfe | bit(GST_AUDIO_CHANNEL_POSITION_REAR_CENTER);
	case 6:
		return front | centre | lfe | rear;
	case 8:
		return front | centre | lfe | rear | side;
	default:
		return 0; // mono
	}
}

GstElement *makeVideoSink(Helper &helper)
{
	GstElement *sink = gst_element_factory_make("appsink", nullptr);
	GstAppSinkCallbacks callbacks = {};
	callbacks.new_sample = onVideoSample;
	gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, &helper, nullptr);
	// Only the newest frame matters.
	g_object_set(sink, "max-buffers", 1u, "drop", TRUE, "sync", TRUE, nullptr);
	return sink;
}

// The mixer and what follows it, added from the main thread once the pipeline plays and before the page's
// first stream (an element added from wpesrc's thread would stall it). Added earlier, the live mixer may take
// its start from the clock while the pipeline hands out its base time, before the mixer has it: it then starts
// hours ahead of every stream (the clock's absolute time) and drops them all, and the page is silent.
bool makeMixer(Helper &helper)
{
	Sound &sound = helper.sound;
	// Live (a construction property): it mixes whatever each stream has at the clock's pace, waits for none
	// longer than its latency, and starts where the first stream does.
	GstElement *mixer = gst_element_factory_make_full("audiomixer", "force-live", TRUE, nullptr);
	GstElement *filter = gst_element_factory_make("capsfilter", nullptr);
	GstElement *sink = gst_element_factory_make("appsink", nullptr);
	if (!mixer || !filter || !sink) {
		GST_WARNING("no audiomixer, capsfilter or appsink: the page's sound is dropped");
		for (GstElement *element : {mixer, filter, sink})
			if (element)
				gst_object_unref(element);
		return false;
	}
	g_object_set(mixer, "ignore-inactive-pads", TRUE, "latency", guint64(50 * GST_MSECOND), "start-time-selection",
		     1 /* first */, nullptr);
	g_object_set(filter, "caps", sound.caps, nullptr);
	GstAppSinkCallbacks callbacks = {};
	callbacks.new_sample = onSound;
	gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, &sound, nullptr);
	// The mixer is paced by the clock already; waiting here for a first buffer would hold up the video too.
	g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
	gst_bin_add_many(GST_BIN(helper.pipeline), mixer, filter, sink, nullptr);
	if (!gst_element_link_many(mixer, filter, sink, nullptr)) {
		GST_WARNING("the mixer does not take OBS's sound format: the page's sound is dropped");
		gst_bin_remove_many(GST_BIN(helper.pipeline), mixer, filter, sink, nullptr);
		return false;
	}
	for (GstElement *element : {sink, filter, mixer})
		gst_element_sync_state_with_parent(element);
	sound.mixer = mixer;
	return true;
}

struct Stream {
	Helper *helper;
	std::vector<GstElement *> elements; // queue, audioconvert, audioresample
	GstPad *mixerPad;
};

// Main thread: a stream that ended leaves the mixer.
gboolean releaseStream(gpointer data)
{
	std::unique_ptr<Stream> stream(static_cast<Stream *>(data));
	Helper &helper = *stream->helper;
	GST_DEBUG("a sound stream ended: %s:%s released", GST_DEBUG_PAD_NAME(stream->mixerPad));
	for (GstElement *element : stream->elements) {
		gst_element_set_state(element, GST_STATE_NULL);
		gst_bin_remove(GST_BIN(helper.pipeline), element);
	}
	gst_element_release_request_pad(helper.sound.mixer, stream->mixerPad);
	gst_object_unref(stream->mixerPad);
	return G_SOURCE_REMOVE;
}

// A stream's end stops at the mixer, which goes on for the page's other streams and those to come.
GstPadProbeReturn onStreamEvent(GstPad *, GstPadProbeInfo *info, gpointer data)
{
	if (GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) != GST_EVENT_EOS)
		return GST_PAD_PROBE_OK;
	g_idle_add(releaseStream, data);
	return GstPadProbeReturn(GST_PAD_PROBE_DROP | GST_PAD_PROBE_REMOVE);
}

// Where a page's stream enters the mix. WebKit stamps each stream from its own zero, and after a pause (a page
// that stops its sound, or leaves) goes on from where it paused: the running mixer would take that sound for
// sound long past and drop it. So the stream is moved to play from now on the pipeline's clock, at its first
// buffer, after every break and after every new segment. The gap WebKit sends at a pause lasts for ever; the
// mixer, live, needs none.
GstPadProbeReturn onStreamData(GstPad *pad, GstPadProbeInfo *info, gpointer data)
{
	auto *aligned = static_cast<bool *>(data);
	if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
		const GstEventType type = GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info));
		// A stream that starts again starts from a new segment: its next buffer is moved anew.
		if (type == GST_EVENT_SEGMENT)
			*aligned = false;
		return type == GST_EVENT_GAP ? GST_PAD_PROBE_DROP : GST_PAD_PROBE_OK;
	}
	GstBuffer *buffer = GST_PAD_PROBE_INFO_BUFFER(info);
	if (*aligned && !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DISCONT))
		return GST_PAD_PROBE_OK;
	GstElement *queue = gst_pad_get_parent_element(pad);
	GstElement *pipeline = queue ? GST_ELEMENT(gst_element_get_parent(queue)) : nullptr;
	GstClock *clock = pipeline ? gst_element_get_clock(pipeline) : nullptr;
	GstEvent *event = gst_pad_get_sticky_event(pad, GST_EVENT_SEGMENT, 0);
	if (event && clock && GST_BUFFER_PTS_IS_VALID(buffer)) {
		const GstSegment *segment = nullptr;
		gst_event_parse_segment(event, &segment);
		const GstClockTime at = gst_segment_to_running_time(segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer));
		const GstClockTime now = gst_clock_get_time(clock) - gst_element_get_base_time(pipeline);
		if (GST_CLOCK_TIME_IS_VALID(at)) {
			const gint64 offset = gint64(now) - gint64(at);
			GST_DEBUG_OBJECT(pad,
					 "sound stamped %" GST_TIME_FORMAT " moved by %" G_GINT64_FORMAT " ns to now",
					 GST_TIME_ARGS(at), offset);
			GstPad *out = gst_element_get_static_pad(queue, "src");
			gst_pad_set_offset(out, offset);
			gst_object_unref(out);
			*aligned = true;
		}
	}
	if (event)
		gst_event_unref(event);
	for (GstObject *object : {GST_OBJECT(clock), GST_OBJECT(pipeline), GST_OBJECT(queue)})
		if (object)
			gst_object_unref(object);
	return GST_PAD_PROBE_OK;
}

// wpesrc's WPE thread: every audio stream the page opens joins the mix.
void onPadAdded(GstElement *, GstPad *pad, gpointer data)
{
	auto &helper = *static_cast<Helper *>(data);
	gchar *name = gst_pad_get_name(pad);
	const bool audio = g_str_has_prefix(name, "audio_");
	g_free(name);
	if (!audio || !helper.sound.mixer)
		return;
	auto stream = std::make_unique<Stream>();
	stream->helper = &helper;
	for (const char *factory : {"queue", "audioconvert", "audioresample"}) {
		GstElement *element = gst_element_factory_make(factory, nullptr);
		if (!element) {
			GST_WARNING("no %s: a sound stream of the page is dropped", factory);
			for (GstElement *made : stream->elements)
				gst_object_unref(made);
			return;
		}
		stream->elements.push_back(element);
	}
	GstElement *queue = stream->elements[0];
	// Never more than a second waits; past that the oldest goes, and wpesrc's thread never waits.
	g_object_set(queue, "max-size-buffers", 0u, "max-size-bytes", 0u, "max-size-time", guint64(GST_SECOND), "leaky",
		     2 /* downstream */, nullptr);
	for (GstElement *element : stream->elements)
		gst_bin_add(GST_BIN(helper.pipeline), element);
	stream->mixerPad = gst_element_request_pad_simple(helper.sound.mixer, "sink_%u");
	GstPad *last = gst_element_get_static_pad(stream->elements.back(), "src");
	GstPad *first = gst_element_get_static_pad(queue, "sink");
	const bool linked =
		stream->mixerPad &&
		gst_element_link_many(stream->elements[0], stream->elements[1], stream->elements[2], nullptr) &&
		gst_pad_link(last, stream->mixerPad) == GST_PAD_LINK_OK;
	gst_object_unref(last);
	if (!linked) {
		GST_WARNING("a sound stream of the page could not join the mixer: dropped");
		gst_object_unref(first);
		return;
	}
	GST_INFO("sound stream %s:%s joins the mix at %s:%s", GST_DEBUG_PAD_NAME(pad),
		 GST_DEBUG_PAD_NAME(stream->mixerPad));
	for (auto element = stream->elements.rbegin(); element != stream->elements.rend(); ++element)
		gst_element_sync_state_with_parent(*element);
	GstPad *mixerPad = stream->mixerPad;
	gst_pad_add_probe(mixerPad, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, onStreamEvent, stream.release(), nullptr);
	page::dropAudioMeta(first);
	gst_pad_add_probe(first, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
			  onStreamData, new bool(false), [](gpointer data) { delete static_cast<bool *>(data); });
	gst_pad_link(pad, first);
	gst_object_unref(first);
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
		if (helper.onPage)
			page::applyStyleSheet(helper.source, helper.css);
		break;
	case page::Packet::AudioToModule:
		routeSound(helper.sound, command.on);
		break;
	case page::Packet::Shown:
		helper.shown = command.on;
		rest(helper);
		if (helper.onPage)
			page::tellHidden(helper.source, !command.on);
		break;
	// The view exists once the page is under way: before, there is nothing to tell.
	case page::Packet::Input:
		if (command.input.kind == page::InputKind::Focus || command.input.kind == page::InputKind::Blur)
			helper.focused = command.input.kind == page::InputKind::Focus;
		if (helper.onPage)
			page::sendInput(helper.source, command.input);
		break;
	case page::Packet::Answer:
		if (helper.onPage)
			page::answerCall(helper.source, command.id, command.text);
		break;
	case page::Packet::PageEvent:
		if (helper.onPage)
			page::dispatchEvent(helper.source, command.name, command.text);
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

gboolean onHeartbeat(gpointer)
{
	sendSignal(page::Packet::Heartbeat);
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
	GstElement *sink = makeVideoSink(helper);
	// Only system-memory BGRA: GL memory would bring WPE's GL context into the pipeline.
	GstCaps *caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGRA", "width", G_TYPE_INT,
					    int(helper.width), "height", G_TYPE_INT, int(helper.height), "framerate",
					    GST_TYPE_FRACTION, fpsNum, fpsDen, nullptr);
	g_object_set(filter, "caps", caps, nullptr);
	gst_caps_unref(caps);
	g_object_set(queue, "max-size-buffers", 2u, "max-size-bytes", 0u, "max-size-time", guint64(0), "leaky", 2,
		     nullptr);
	g_object_set(helper.source, "location", "about:blank", "draw-background", FALSE, nullptr);
	page::configureLikeObsBrowser(helper.source);
	page::watchView(helper.source, helper.mediaRestarts, onPageLoad, &helper);
	gst_bin_add_many(GST_BIN(helper.pipeline), helper.source, filter, queue, sink, nullptr);
	if (!gst_element_link_pads(helper.source, "video", filter, "sink") ||
	    !gst_element_link_many(filter, queue, sink, nullptr))
		return helper_exit::kNoPipeline;
	helper.videoIn = gst_element_get_static_pad(queue, "sink");

	GstBus *bus = gst_pipeline_get_bus(GST_PIPELINE(helper.pipeline));
	gst_bus_add_watch(bus, onBusMessage, &helper);
	gst_object_unref(bus);
	g_unix_fd_add(page::kSocketFd, GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR), onCommand, &helper);
	g_timeout_add(page::kHeartbeatMs, onHeartbeat, &helper);
	sendSignal(page::Packet::Heartbeat);

	GST_INFO("a %ux%u page at %d/%d fps", helper.width, helper.height, fpsNum, fpsDen);
	if (gst_element_set_state(helper.pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
		return helper_exit::kNoPipeline;
	// wpesrc adds a stream's pad only after the page has navigated, from the main loop below.
	if (makeMixer(helper))
		g_signal_connect(helper.source, "pad-added", G_CALLBACK(onPadAdded), &helper);
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
	const bool mediaRestarts = page::loadWpeWithItsExtension();

	if (argc == 2 && strcmp(argv[1], "--probe") == 0) {
		GstElement *source = gst_element_factory_make("wpesrc", nullptr);
		if (!source)
			return helper_exit::kNoWpesrc;
		gst_object_unref(source);
		return helper_exit::kOk;
	}
	if (argc != 7) {
		fprintf(stderr, "usage: %s --probe | WIDTH HEIGHT FPS_NUM FPS_DEN RATE CHANNELS\n", argv[0]);
		return helper_exit::kUsage;
	}
	Helper helper;
	helper.mediaRestarts = mediaRestarts;
	helper.width = uint32_t(strtoul(argv[1], nullptr, 10));
	helper.height = uint32_t(strtoul(argv[2], nullptr, 10));
	const int fpsNum = int(strtol(argv[3], nullptr, 10));
	const int fpsDen = int(strtol(argv[4], nullptr, 10));
	const int rate = int(strtol(argv[5], nullptr, 10));
	const int channels = int(strtol(argv[6], nullptr, 10));
	if (helper.width == 0 || helper.height == 0 || fpsNum <= 0 || fpsDen <= 0 || rate <= 0 || channels <= 0 ||
	    channels > int(page::kMaxAudioChannels) || channels == 7)
		return helper_exit::kUsage;
	helper.sound.caps = gst_caps_new_simple("audio/x-raw", "format", G_TYPE_STRING, GST_AUDIO_NE(F32), "layout",
						G_TYPE_STRING, "interleaved", "rate", G_TYPE_INT, rate, "channels",
						G_TYPE_INT, channels, nullptr);
	if (channels > 1)
		gst_caps_set_simple(helper.sound.caps, "channel-mask", GST_TYPE_BITMASK, channelMask(channels),
				    nullptr);
	helper.loop = g_main_loop_new(nullptr, FALSE);
	const int code = runPage(helper, fpsNum, fpsDen);
	fflush(nullptr);
	_exit(code);
}
