// The page source module loaded by libobs's own loader, its browser_source rendering real pages from an HTTP
// server on 127.0.0.1 through real page helpers, WebKit and GStreamer.
#include "page-source/channel.hpp"
#include "page-source/frame_reader.hpp"
#include "page-source/helper_process.hpp"
#include "page-source/helper_supervisor.hpp"
#include "page-source/page_rules.hpp"
#include "support/browser_stand_in.hpp"
#include "support/frontend_stub.hpp"
#include "support/http_server.hpp"
#include "support/log_capture.hpp"
#include "support/obs_allocs.hpp"
#include "support/obs_probe.hpp"
#include "support/obs_session.hpp"

#include <gtest/gtest.h>
#include <obs-interaction.h>
#include <obs-module.h>
#include <obs.hpp>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <limits>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <dlfcn.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char *const kPrefix = "[lorvalen-page-source]";
// Every process the tests start, and every process those start, carries this in its environment.
const char *const kMarker = "LORVALEN_PAGE_SOURCE_TEST_RUN";

// A page of four vertical bars and, when asked, a 1 kHz tone at `gain`.
QByteArray barsPage(double gain)
{
	QByteArray page = "<!DOCTYPE html><html><head><style>html,body{margin:0;height:100%;background:transparent}"
			  "div{position:absolute;top:0;height:100%;width:25%}</style></head><body>"
			  "<div style='left:0;background:#ff0000'></div><div style='left:25%;background:#00ff00'></div>"
			  "<div style='left:50%;background:#0000ff'></div>"
			  "<div style='left:75%;background:rgba(255,255,255,0.5)'></div>";
	if (gain > 0)
		page += "<script>var c=new AudioContext(),o=c.createOscillator(),g=c.createGain();"
			"o.frequency.value=1000;g.gain.value=" +
			QByteArray::number(gain) + ";o.connect(g);g.connect(c.destination);o.start();</script>";
	return page + "</body></html>";
}

HttpAnswer html(const QByteArray &body)
{
	HttpAnswer answer;
	answer.headers = {{"Content-Type", "text/html; charset=utf-8"}};
	answer.body = body;
	return answer;
}

struct Pixel {
	uint8_t r, g, b, a;
};

// Draws the source as OBS does into a transparent 320 x 180 target and reads it back.
std::vector<Pixel> renderSource(obs_source_t *source, uint32_t width, uint32_t height)
{
	std::vector<Pixel> pixels(size_t(width) * height);
	obs_enter_graphics();
	gs_texrender_t *target = gs_texrender_create(GS_RGBA, GS_ZS_NONE);
	gs_stagesurf_t *stage = gs_stagesurface_create(width, height, GS_RGBA);
	if (gs_texrender_begin(target, width, height)) {
		vec4 clear;
		vec4_zero(&clear);
		gs_clear(GS_CLEAR_COLOR, &clear, 0.0f, 0);
		gs_ortho(0.0f, float(width), 0.0f, float(height), -100.0f, 100.0f);
		obs_source_video_render(source);
		gs_texrender_end(target);
		gs_stage_texture(stage, gs_texrender_get_texture(target));
		uint8_t *data = nullptr;
		uint32_t lineSize = 0;
		if (gs_stagesurface_map(stage, &data, &lineSize)) {
			for (uint32_t y = 0; y < height; ++y)
				memcpy(&pixels[size_t(y) * width], data + size_t(y) * lineSize, size_t(width) * 4);
			gs_stagesurface_unmap(stage);
		}
	}
	gs_stagesurface_destroy(stage);
	gs_texrender_destroy(target);
	obs_leave_graphics();
	return pixels;
}

bool near(const Pixel &p, int r, int g, int b, int a)
{
	return std::abs(p.r - r) <= 8 && std::abs(p.g - g) <= 8 && std::abs(p.b - b) <= 8 && std::abs(p.a - a) <= 8;
}

// The bars where the page puts them, sampled in the middle of each quarter; the last one half-transparent
// white, premultiplied.
bool showsBars(obs_source_t *source)
{
	const std::vector<Pixel> pixels = renderSource(source, 320, 180);
	auto at = [&](int x) {
		return pixels[size_t(90) * 320 + size_t(x)];
	};
	return near(at(40), 255, 0, 0, 255) && near(at(120), 0, 255, 0, 255) && near(at(200), 0, 0, 255, 255) &&
	       near(at(280), 128, 128, 128, 128);
}

bool transparent(obs_source_t *source)
{
	for (const Pixel &p : renderSource(source, 320, 180))
		if (p.a != 0)
			return false;
	return true;
}

// Processes (not zombies) started by this test run, found by the marker in their environment.
std::vector<pid_t> markedProcesses()
{
	std::vector<pid_t> found;
	const std::string marker = std::string(kMarker) + "=" + std::to_string(getpid());
	DIR *proc = opendir("/proc");
	while (dirent *entry = proc ? readdir(proc) : nullptr) {
		const pid_t pid = pid_t(atoi(entry->d_name));
		if (pid <= 0 || pid == getpid())
			continue;
		std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
		std::string line;
		std::getline(stat, line);
		const size_t close = line.rfind(')');
		if (close == std::string::npos || close + 2 >= line.size() || line[close + 2] == 'Z')
			continue;
		std::ifstream environ("/proc/" + std::to_string(pid) + "/environ");
		std::string variable;
		while (std::getline(environ, variable, '\0')) {
			if (variable == marker) {
				found.push_back(pid);
				break;
			}
		}
	}
	if (proc)
		closedir(proc);
	return found;
}

std::string commandOf(pid_t pid)
{
	std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
	std::string name;
	std::getline(comm, name);
	return name;
}

int openDescriptors()
{
	int count = 0;
	DIR *fds = opendir("/proc/self/fd");
	while (dirent *entry = fds ? readdir(fds) : nullptr)
		if (entry->d_name[0] != '.')
			++count;
	if (fds)
		closedir(fds);
	return count - 1; // the listing's own
}

bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
	return HttpTestServer::waitUntil(done, timeoutMs);
}

// Peak sample level of a source's audio as libobs mixes it.
class AudioPeak {
public:
	explicit AudioPeak(obs_source_t *source) : source_(source)
	{
		obs_source_add_audio_capture_callback(source_, capture, this);
	}
	~AudioPeak() { obs_source_remove_audio_capture_callback(source_, capture, this); }
	float peak() const { return peak_.load(); }
	long frames() const { return frames_.load(); }

private:
	static void capture(void *param, obs_source_t *, const audio_data *audio, bool)
	{
		auto *self = static_cast<AudioPeak *>(param);
		float peak = self->peak_.load();
		for (int channel = 0; channel < 2; ++channel) {
			const auto *samples = reinterpret_cast<const float *>(audio->data[channel]);
			for (uint32_t i = 0; samples && i < audio->frames; ++i)
				peak = std::max(peak, std::fabs(samples[i]));
		}
		self->peak_.store(peak);
		self->frames_ += long(audio->frames);
	}
	obs_source_t *source_;
	std::atomic<float> peak_{0.0f};
	std::atomic<long> frames_{0};
};

// The source's sound over its next second (given up after 20 s without one).
struct Second {
	float peak = -1.0f;
	long frames = 0;
	bool peaksAt(float level, float tolerance) const
	{
		return frames > 48000 && std::fabs(peak - level) <= tolerance;
	}
};
Second nextSecond(obs_source_t *source)
{
	AudioPeak peak(source);
	waitFor([&] { return peak.frames() > 48000; }, 20000);
	return {peak.peak(), peak.frames()};
}

// Whether the source's sound, over a fresh second of it, peaks within `tolerance` of `level`. Sound from before
// the change asked for may still be on its way: a second that does not match is followed by another.
::testing::AssertionResult soundPeaksAt(obs_source_t *source, float level, float tolerance)
{
	Second last;
	if (waitFor([&] { return (last = nextSecond(source)).peaksAt(level, tolerance); }, 60000))
		return ::testing::AssertionSuccess();
	return ::testing::AssertionFailure()
	       << "the last second peaked at " << last.peak << " over " << last.frames << " frames, not " << level;
}

OBSSourceAutoRelease makePage(const QString &url, bool audio = false, const char *name = "page")
{
	OBSDataAutoRelease settings = obs_data_create();
	obs_data_set_string(settings, "url", url.toUtf8().constData());
	obs_data_set_int(settings, "width", 320);
	obs_data_set_int(settings, "height", 180);
	obs_data_set_bool(settings, "fps_custom", true);
	obs_data_set_int(settings, "fps", 30);
	obs_data_set_bool(settings, "reroute_audio", audio);
	OBSSourceAutoRelease source = obs_source_create("browser_source", name, settings, nullptr);
	obs_source_inc_showing(source); // as a scene on a display does: a page shown nowhere does not paint
	return source;
}

class PageSourceTest : public ::testing::Test {
protected:
	static void SetUpTestSuite()
	{
		setenv(kMarker, std::to_string(getpid()).c_str(), 1);
		ASSERT_TRUE(obs_session::resetVideo(1920, 1080));
		obs_audio_info audio = {48000, SPEAKERS_STEREO};
		ASSERT_TRUE(obs_reset_audio(&audio));
		obs_allocs::warmUp();
		obs_module_t *module = nullptr;
		ASSERT_EQ(obs_open_module(&module, LORVALEN_PAGE_SOURCE_PATH, LORVALEN_PAGE_SOURCE_DATA),
			  MODULE_SUCCESS);
		ASSERT_TRUE(obs_init_module(module));
		obs_post_load_modules();
		// OBS's UI thread is the Qt main thread, where the tests wait.
		obs_set_ui_task_handler([](obs_task_t task, void *param, bool wait) {
			const bool here = QThread::currentThread() == qApp->thread();
			if (wait && here)
				task(param);
			else
				QMetaObject::invokeMethod(
					qApp, [task, param] { task(param); },
					wait ? Qt::BlockingQueuedConnection : Qt::QueuedConnection);
		});
	}
	void SetUp() override
	{
		ASSERT_NE(obs_source_get_display_name("browser_source"), nullptr) << "the page source did not register";
		server.serve("/bars", html(barsPage(0)));
	}

	HttpTestServer server;
};

TEST(PageRules, settingsBecomeThePagesSizeRateAndRestarts)
{
	struct Row {
		const char *behaviour;
		page::RawSettings raw;
		uint32_t canvasNum, canvasDen;
		uint32_t width, height, fpsNum, fpsDen;
		const char *url;
	};
	const Row rows[] = {
		{"customRateIsTaken",
		 {"u", "", 1280, 720, true, 25, false, false, false, false, "/x"},
		 60,
		 1,
		 1280,
		 720,
		 25,
		 1,
		 "u"},
		{"withoutCustomRateTheCanvasRate",
		 {"u", "", 640, 360, false, 25, false, false, false, false, ""},
		 30000,
		 1001,
		 640,
		 360,
		 30000,
		 1001,
		 "u"},
		{"outOfRangeIsClamped",
		 {"u", "", 0, 100000, true, 500, false, false, false, false, ""},
		 30,
		 1,
		 1,
		 8192,
		 60,
		 1,
		 "u"},
		{"negativeRateIsOne",
		 {"u", "", -5, 10, true, -1, false, false, false, false, ""},
		 30,
		 1,
		 1,
		 10,
		 1,
		 1,
		 "u"},
		{"aLocalFileIsLoadedByItsEncodedPath",
		 {"u", "", 8, 8, true, 30, false, false, false, true, "/home/op/Mes pages/été#1?.html"},
		 30,
		 1,
		 8,
		 8,
		 30,
		 1,
		 "file:///home/op/Mes%20pages/%C3%A9t%C3%A9%231%3F.html"},
		{"aLocalFileWithoutAPathIsNoPage",
		 {"u", "", 8, 8, true, 30, false, false, false, true, ""},
		 30,
		 1,
		 8,
		 8,
		 30,
		 1,
		 ""},
	};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.behaviour);
		const page::PageConfig config = page::pageConfig(row.raw, row.canvasNum, row.canvasDen, {44100, 6});
		EXPECT_EQ(config.width, row.width);
		EXPECT_EQ(config.height, row.height);
		EXPECT_EQ(config.fpsNum, row.fpsNum);
		EXPECT_EQ(config.fpsDen, row.fpsDen);
		EXPECT_EQ(config.url, row.url);
		EXPECT_EQ(page::helperArguments(config)[4], "44100");
		EXPECT_EQ(page::helperArguments(config)[5], "6");
	}
}

// Text put into a page as a script's string literal arrives as it was, whatever it holds; bytes that are not
// UTF-8 cannot break out of the literal.
TEST(PageRules, textBecomesAScriptStringThatKeepsEveryCharacter)
{
	const std::pair<std::string, std::string> rows[] = {
		{"", "\"\""},
		{"a{b:c}", "\"a{b:c}\""},
		{"\"\\\n</style>", "\"\\u0022\\u005c\\u000a</style>\""},
		{"\xc3\xa9\xe2\x80\x94", "\"\\u00e9\\u2014\""}, // é and an em dash
		{"\xf0\x9f\x8e\xa5", "\"\\ud83c\\udfa5\""},     // beyond the BMP: a surrogate pair
		{"a\xff"
		 "b\xc3",
		 "\"a\\ufffdb\\ufffd\""},                                            // bytes that are not UTF-8
		{"\xc0\xaf\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\""}, // overlong, surrogate
		{"\xe2\x80\xa8", "\"\\u2028\""}, // a line separator, which ends a line in older scripts
	};
	for (const auto &row : rows)
		EXPECT_EQ(page::scriptString(row.first), row.second) << row.first;
}

TEST(PageRules, eachSettingChangeAsksTheRunningPageForWhatItNeeds)
{
	struct Row {
		const char *behaviour;
		std::function<void(page::PageConfig &)> change;
		page::PageChange expected; // restart, css, audioRoute
	};
	const Row rows[] = {
		{"nothingChangedAsksNothing", [](page::PageConfig &) {}, {false, false}},
		{"aNewAddressGetsANewHelper",
		 [](page::PageConfig &c) { c.url = "http://127.0.0.1/other"; },
		 {true, false}},
		{"aNewStyleSheetIsSent", [](page::PageConfig &c) { c.css = "body{color:red}"; }, {false, true}},
		{"aClearedStyleSheetIsSent", [](page::PageConfig &c) { c.css.clear(); }, {false, true}},
		{"theSameRateWrittenOtherwiseIsNoChange",
		 [](page::PageConfig &c) {
			 c.fpsNum = 60;
			 c.fpsDen = 2;
		 },
		 {false, false}},
		{"aNewRateRestarts", [](page::PageConfig &c) { c.fpsNum = 25; }, {true, false}},
		{"aNewHeightRestarts", [](page::PageConfig &c) { c.height = 601; }, {true, false}},
		{"newPermissionsLoadThePageAgain", [](page::PageConfig &c) { c.controlLevel = 2; }, {true, false}},
		{"aRestartCarriesTheNewAddressItself",
		 [](page::PageConfig &c) {
			 c.width = 1280;
			 c.url = "http://127.0.0.1/other";
			 c.css = "x";
		 },
		 {true, false}},
		{"visibilityRulesNeedNoCommand",
		 [](page::PageConfig &c) {
			 c.shutdown = true;
			 c.restartWhenActive = true;
		 },
		 {false, false}},
		{"theAudioRouteIsSentWithoutARestart",
		 [](page::PageConfig &c) { c.rerouteAudio = true; },
		 {false, false, true}},
	};
	page::PageConfig running;
	running.url = "http://127.0.0.1/page";
	running.css = "body{}";
	for (const Row &row : rows) {
		SCOPED_TRACE(row.behaviour);
		page::PageConfig wanted = running;
		row.change(wanted);
		const page::PageChange change = page::pageChange(running, wanted);
		EXPECT_EQ(change, row.expected);
	}
}

// A page's sound is stamped on OBS's clock frame-exactly from where its stream started, so that buffers that
// arrive with jitter neither drift nor leave gaps; the clock is read again only past the resync limit.
TEST(PageRules, soundIsStampedWithoutDriftAndCheckedForImpossibleSamples)
{
	const uint64_t start = 5000000000ULL;
	struct Arrival {
		int64_t lateNs; // after the buffer's place in the stream
		uint32_t rate;  // 0: 48000
		bool restamped; // the clock is read again
	};
	struct Row {
		const char *behaviour;
		std::vector<Arrival> arrivals; // buffers of 480 frames
	};
	const int64_t limit = int64_t(page::kAudioResyncNs);
	const Row rows[] = {
		{"theFirstBufferTakesTheClock", {{0, 0, true}}},
		{"jitterWithinTheLimitIsAbsorbed",
		 {{0, 0, true}, {limit, 0, false}, {-limit, 0, false}, {3, 0, false}}},
		{"aGapPastTheLimitRestamps", {{0, 0, true}, {0, 0, false}, {limit + 1, 0, true}, {0, 0, false}}},
		{"buffersAheadOfTheClockRestamp", {{0, 0, true}, {-limit - 1, 0, true}}},
		{"aNewRateRestamps", {{0, 0, true}, {0, 44100, true}, {0, 44100, false}}},
	};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.behaviour);
		page::AudioClock clock;
		uint64_t streamStart = start;
		uint64_t frames = 0;
		uint32_t rate = 48000;
		for (size_t i = 0; i < row.arrivals.size(); ++i) {
			const Arrival &arrival = row.arrivals[i];
			const uint32_t thisRate = arrival.rate ? arrival.rate : 48000;
			const uint64_t place = streamStart + frames * 1000000000ULL / rate;
			const uint64_t now = uint64_t(int64_t(place) + arrival.lateNs);
			const uint64_t stamp = page::stampAudio(clock, now, thisRate, 480);
			if (arrival.restamped) {
				EXPECT_EQ(stamp, now) << i;
				streamStart = now;
				frames = 0;
				rate = thisRate;
			} else {
				EXPECT_EQ(stamp, place) << i;
			}
			frames += 480;
		}
	}

	// Ten minutes of 480-frame buffers at 44.1 kHz, each arriving late by a few milliseconds (a buffer is not a
	// whole number of nanoseconds long): the last stamp is where the stream's frame count puts it, to the
	// nanosecond; after a week's stream as well.
	page::AudioClock clock;
	uint64_t stamp = page::stampAudio(clock, start, 44100, 480);
	const uint64_t buffers = 10 * 60 * 44100 / 480;
	for (uint64_t i = 1; i <= buffers; ++i)
		stamp = page::stampAudio(clock, start + i * 480 * 1000000000ULL / 44100 + 7000000, 44100, 480);
	EXPECT_EQ(stamp, start + buffers * 480 * 1000000000ULL / 44100);
	page::AudioClock week;
	week.running = true;
	week.startNs = start;
	week.rate = 48000;
	week.frames = 48000ULL * 3600 * 24 * 7;
	EXPECT_EQ(page::stampAudio(week, start + 3600ULL * 24 * 7 * 1000000000ULL, 48000, 480),
		  start + 3600ULL * 24 * 7 * 1000000000ULL);

	const float nan = std::nanf("");
	const float inf = std::numeric_limits<float>::infinity();
	struct SampleRow {
		const char *behaviour;
		std::vector<float> samples;
		size_t firstBad;
	};
	const SampleRow samples[] = {
		{"soundUpToTheLimitPasses", {0.0f, -1.0f, 1.0f, page::kMaxSample, -page::kMaxSample}, 5},
		{"pastTheLimitIsNotSound", {0.5f, page::kMaxSample * 1.01f, 0.0f}, 1},
		{"notANumberIsNotSound", {0.0f, 0.0f, nan}, 2},
		{"infinityIsNotSound", {-inf}, 0},
		{"noSamplesPass", {}, 0},
	};
	for (const SampleRow &row : samples)
		EXPECT_EQ(page::firstImplausibleSample(row.samples.data(), row.samples.size()), row.firstBad)
			<< row.behaviour;
}

TEST(PageRules, watchdogGivesUpOnlyPastItsLimits)
{
	using page::Verdict;
	EXPECT_EQ(page::judge({page::kFirstFrameLimitMs, 0, false}), Verdict::Healthy);
	EXPECT_EQ(page::judge({page::kFirstFrameLimitMs + 1, 0, false}), Verdict::NoFirstFrame);
	EXPECT_EQ(page::judge({page::kFirstFrameLimitMs * 10, 0, true}), Verdict::Healthy);
	EXPECT_EQ(page::judge({100000, page::kSilenceLimitMs + 1, true}), Verdict::Silent);
	const int64_t delays[] = {0, 500, 1000, 2000, 4000, 8000, 16000, 30000, 30000};
	for (int failures = 0; failures < 9; ++failures)
		EXPECT_EQ(page::restartDelayMs(failures), delays[failures]) << failures;
	EXPECT_EQ(page::restartDelayMs(1000), 30000);
}

// Every packet either side sends, encoded, sent over a real SOCK_SEQPACKET pair, received and decoded, arrives
// as it left; what does not fit one packet is refused whole, never cut; what no side sends is refused on arrival.
TEST(PageChannel, everyPacketArrivesAsItLeftAndNothingIsCut)
{
	int sockets[2];
	ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sockets), 0);
	alignas(float) static uint8_t buffer[page::kMaxPacketBytes];
	auto roundTrip = [&](const page::PacketBytes &packet, page::Message &message) {
		EXPECT_EQ(page::sendPacket(sockets[0], packet), page::SendResult::Sent);
		const ssize_t size = page::receivePacket(sockets[1], buffer);
		EXPECT_EQ(size, ssize_t(packet.size()));
		return size > 0 && page::decode(buffer, size_t(size), message);
	};

	struct TextRow {
		const char *behaviour;
		page::Packet type;
		std::string text;
	};
	const TextRow texts[] = {
		{"anAddressInUtf8", page::Packet::Navigate, "http://127.0.0.1:8080/caf\xc3\xa9 b?q=\xe2\x82\xac#x"},
		{"noAddress", page::Packet::Navigate, ""},
		{"aStyleSheetWithQuotesAndNewlines", page::Packet::Css, "body{font-family:\"\xc3\x89\"}\n/* '\\' */"},
		{"aStyleSheetAsLongAsOnePacketCarries", page::Packet::Css, std::string(page::kMaxTextBytes, 'a')},
		{"aFailureWithANul", page::Packet::Failed, std::string("cannot\0connect", 14)},
	};
	for (const TextRow &row : texts) {
		SCOPED_TRACE(row.behaviour);
		page::PacketBytes packet;
		ASSERT_TRUE(page::encodeText(row.type, row.text, packet));
		page::Message message;
		ASSERT_TRUE(roundTrip(packet, message));
		EXPECT_EQ(message.type, row.type);
		EXPECT_EQ(std::string(message.text), row.text);
	}
	{
		page::PacketBytes packet;
		ASSERT_TRUE(page::encodeSignal(page::Packet::Heartbeat, packet));
		page::Message message;
		ASSERT_TRUE(roundTrip(packet, message));
		EXPECT_EQ(message.type, page::Packet::Heartbeat);
	}
	const std::vector<float> stereo = {0.25f, -0.25f, 1.0f, -1.0f, 0.0f, 0.5f};
	page::PacketBytes packet;
	ASSERT_TRUE(page::encodeAudio(44100, 2, stereo.data(), 3, packet));
	page::Message audio;
	ASSERT_TRUE(roundTrip(packet, audio));
	EXPECT_EQ(audio.type, page::Packet::Audio);
	EXPECT_EQ(audio.rate, 44100u);
	EXPECT_EQ(audio.channels, 2u);
	ASSERT_EQ(audio.frames, 3u);
	EXPECT_EQ(std::vector<float>(audio.samples, audio.samples + 6), stereo);
	const std::vector<float> most(page::audioFramesPerPacket(2) * 2 + 2, 0.5f);
	EXPECT_TRUE(page::encodeAudio(48000, 2, most.data(), uint32_t(page::audioFramesPerPacket(2)), packet));
	EXPECT_LE(packet.size(), page::kMaxPacketBytes);

	// Refused by the encoder: nothing half-made is left to send.
	EXPECT_FALSE(page::encodeText(page::Packet::Css, std::string(page::kMaxTextBytes + 1, 'a'), packet));
	EXPECT_TRUE(packet.empty());
	EXPECT_FALSE(page::encodeAudio(48000, 2, most.data(), uint32_t(page::audioFramesPerPacket(2) + 1), packet));
	EXPECT_TRUE(packet.empty());

	// Refused by the decoder.
	auto raw = [](page::Packet type, std::vector<uint32_t> words) {
		words.insert(words.begin(), uint32_t(type));
		return std::vector<uint32_t>(words);
	};
	struct BadRow {
		const char *behaviour;
		std::vector<uint32_t> words; // the packet, in 32-bit words
	};
	const BadRow bad[] = {
		{"aTypeNoSideSends", raw(page::Packet(99), {})},
		{"aHeartbeatWithBytesAfterIt", raw(page::Packet::Heartbeat, {0})},
		{"audioWithoutItsHeader", raw(page::Packet::Audio, {48000, 2})},
		{"audioClaimingMoreFramesThanItCarries", raw(page::Packet::Audio, {48000, 1, 2, 0})},
		{"audioCarryingMoreThanItClaims", raw(page::Packet::Audio, {48000, 1, 1, 0, 0})},
		{"audioWithNoChannels", raw(page::Packet::Audio, {48000, 0, 1, 0})},
		{"audioWithMoreChannelsThanAnyLayout",
		 raw(page::Packet::Audio, {48000, 9, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0})},
		{"audioWithNoRate", raw(page::Packet::Audio, {0, 1, 1, 0})},
		{"audioClaimingAHugeFrameCount", raw(page::Packet::Audio, {48000, 8, 0x20000000})},
	};
	for (const BadRow &row : bad) {
		page::Message message;
		EXPECT_FALSE(page::decode(reinterpret_cast<const uint8_t *>(row.words.data()), row.words.size() * 4,
					  message))
			<< row.behaviour;
	}
	page::Message message;
	EXPECT_FALSE(page::decode(buffer, 2, message)) << "shorter than a type";
	// A packet longer than any side sends arrives whole, is reported as too long and refused.
	const std::vector<uint8_t> huge(page::kMaxPacketBytes + 100, 0);
	ASSERT_EQ(send(sockets[0], huge.data(), huge.size(), 0), ssize_t(huge.size()));
	const ssize_t size = page::receivePacket(sockets[1], buffer);
	EXPECT_EQ(size, ssize_t(page::kMaxPacketBytes + 1));
	EXPECT_FALSE(page::decode(buffer, size_t(size), message));
	EXPECT_EQ(page::receivePacket(sockets[1], buffer), 0) << "nothing waits";
	close(sockets[0]);
	EXPECT_EQ(page::receivePacket(sockets[1], buffer), -1) << "the peer has gone";
	close(sockets[1]);
}

// A helper that reads its commands slowly loses none of them: what its socket has no room for waits in the
// queue, in order, until there is room.
TEST(PageChannel, aCommandTheSocketHasNoRoomForIsSentWhenThereIsRoom)
{
	int sockets[2];
	ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sockets), 0);
	page::CommandQueue queue;
	const int commands = 100; // 100 x 60 kB: many times what a socket holds
	for (int i = 0; i < commands; ++i) {
		page::PacketBytes packet;
		ASSERT_TRUE(page::encodeText(page::Packet::Css, std::to_string(i) + std::string(60000, 'x'), packet));
		queue.push(std::move(packet));
	}
	ASSERT_TRUE(queue.flush(sockets[0]));
	EXPECT_FALSE(queue.empty()) << "the socket took everything: the test shows nothing";

	alignas(float) static uint8_t buffer[page::kMaxPacketBytes];
	int received = 0;
	while (received < commands) {
		for (ssize_t size; (size = page::receivePacket(sockets[1], buffer)) > 0; ++received) {
			page::Message message;
			ASSERT_TRUE(page::decode(buffer, size_t(size), message));
			ASSERT_EQ(std::string(message.text.substr(0, message.text.find('x'))),
				  std::to_string(received));
		}
		pollfd wait = {sockets[0], POLLOUT, 0};
		if (!queue.empty()) {
			ASSERT_EQ(poll(&wait, 1, 10000), 1);
		}
		ASSERT_TRUE(queue.flush(sockets[0]));
	}
	EXPECT_TRUE(queue.empty());
	close(sockets[1]);
	page::PacketBytes packet;
	ASSERT_TRUE(page::encodeText(page::Packet::Css, "body{}", packet));
	queue.push(packet);
	EXPECT_FALSE(queue.flush(sockets[0])) << "a helper that closed its end is reported";
	close(sockets[0]);
}

// Each outcome of post_load in a process of its own: libobs registers a type once per process.
TEST(PageSourcePostLoad, logsExactlyOneLineForEachOutcome)
{
	QTemporaryDir empty;
	struct Row {
		const char *behaviour;
		const char *row;
		bool noGStreamerPlugins;
		const char *line;
		const char *displayName; // of browser_source afterwards
	};
	const Row rows[] = {
		{"standsAsideForAnotherBrowserSource", "aside", false,
		 "[lorvalen-page-source] browser_source is provided by another module; the page renderer stands aside",
		 "Browser (test stand-in)"},
		{"registersNothingWithoutWpesrc", "plain", true,
		 "[lorvalen-page-source] GStreamer's wpesrc is not available (install gstreamer1.0-wpe); browser_source "
		 "not registered",
		 "(none)"},
		{"registersItsOwnOtherwise", "plain", false, "[lorvalen-page-source] browser_source registered: ",
		 "Browser (WPE WebKit page renderer, not Chromium)"},
	};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.behaviour);
		QProcess child;
		QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
		environment.insert("LORVALEN_POST_LOAD_ROW", row.row);
		if (row.noGStreamerPlugins) {
			environment.insert("GST_PLUGIN_SYSTEM_PATH_1_0", empty.path());
			environment.insert("GST_PLUGIN_PATH_1_0", empty.path());
			environment.insert("GST_REGISTRY_1_0", empty.filePath("registry.bin"));
		}
		child.setProcessEnvironment(environment);
		child.start(QCoreApplication::applicationFilePath(),
			    {"--gtest_filter=PageSourcePostLoadChild.*", "--gtest_also_run_disabled_tests"});
		ASSERT_TRUE(child.waitForFinished(120000));
		const QStringList output = QString::fromUtf8(child.readAllStandardOutput()).split('\n');
		QStringList lines = output.filter(kPrefix);
		ASSERT_EQ(lines.size(), 1) << output.join('\n').toStdString();
		EXPECT_TRUE(lines[0].startsWith(row.line)) << lines[0].toStdString();
		EXPECT_TRUE(output.contains(QString("display name: ") + row.displayName))
			<< output.join('\n').toStdString();
	}
}

// Run only by logsExactlyOneLineForEachOutcome, in a process of its own.
TEST(PageSourcePostLoadChild, DISABLED_reportsTheOutcome)
{
	const QByteArray row = qgetenv("LORVALEN_POST_LOAD_ROW");
	ASSERT_FALSE(row.isEmpty());
	LogCapture capture;
	if (row == "aside")
		registerBrowserStandIn();
	obs_module_t *module = nullptr;
	ASSERT_EQ(obs_open_module(&module, LORVALEN_PAGE_SOURCE_PATH, LORVALEN_PAGE_SOURCE_DATA), MODULE_SUCCESS);
	ASSERT_TRUE(obs_init_module(module));
	obs_post_load_modules();
	for (const LogLine &line : capture.matching(kPrefix))
		printf("%s\n", line.text.c_str());
	const char *name = obs_source_get_display_name("browser_source");
	printf("display name: %s\n", name ? name : "(none)");
}

TEST_F(PageSourceTest, exportsOnlyTheEntryPoints)
{
	void *handle = dlopen(LORVALEN_PAGE_SOURCE_PATH, RTLD_NOW | RTLD_NOLOAD);
	ASSERT_NE(handle, nullptr);
	for (const char *name : {"obs_module_set_pointer", "obs_module_ver", "obs_module_load", "obs_module_post_load",
				 "obs_module_set_locale", "obs_module_free_locale", "obs_module_get_string"})
		EXPECT_NE(dlsym(handle, name), nullptr) << name;
	for (const char *name : {"obs_current_module", "page_log", "obs_module_unload", "obs_module_text"})
		EXPECT_EQ(dlsym(handle, name), nullptr) << name;
	dlclose(handle);
}

// Each key with its value as text. libobs 29 writes JSON keys sorted and later versions in the order they were
// set, so settings are compared item by item, not as JSON text.
std::map<std::string, std::string> itemsOf(obs_data_t *data)
{
	std::map<std::string, std::string> items;
	for (obs_data_item_t *item = obs_data_first(data); item; obs_data_item_next(&item)) {
		std::string value;
		switch (obs_data_item_gettype(item)) {
		case OBS_DATA_STRING:
			value = '"' + std::string(obs_data_item_get_string(item)) + '"';
			break;
		case OBS_DATA_NUMBER:
			value = std::to_string(obs_data_item_get_double(item));
			break;
		case OBS_DATA_BOOLEAN:
			value = obs_data_item_get_bool(item) ? "true" : "false";
			break;
		default:
			value = "(other)";
		}
		items[obs_data_item_get_name(item)] = value;
	}
	return items;
}

TEST_F(PageSourceTest, keepsEverySettingWithObsBrowsersKeysAndDefaults)
{
	OBSDataAutoRelease settings = obs_data_create_from_json(
		R"({"url": "http://127.0.0.1:9/x", "width": 640, "height": 360, "fps_custom": true, "fps": 25,
		    "css": "body{color:red}", "reroute_audio": true, "shutdown": true, "restart_when_active": true,
		    "is_local_file": true, "local_file": "/tmp/page.html", "webpage_control_level": 3})");
	OBSSourceAutoRelease source = obs_source_create("browser_source", "settings", settings, nullptr);
	ASSERT_TRUE(source);
	EXPECT_EQ(obs_source_get_width(source), 640u);
	EXPECT_EQ(obs_source_get_height(source), 360u);
	OBSDataAutoRelease update = obs_data_create_from_json(R"({"width": 1280, "height": 720})");
	obs_source_update(source, update); // applied at the next video frame
	EXPECT_TRUE(waitFor([&] { return obs_source_get_width(source) == 1280u; }, 10000));
	EXPECT_EQ(obs_source_get_height(source), 720u);

	OBSDataAutoRelease saved = obs_source_get_settings(source);
	OBSDataAutoRelease expected = obs_data_create_from_json(
		R"({"url": "http://127.0.0.1:9/x", "width": 1280, "height": 720, "fps_custom": true, "fps": 25,
		    "css": "body{color:red}", "reroute_audio": true, "shutdown": true, "restart_when_active": true,
		    "is_local_file": true, "local_file": "/tmp/page.html", "webpage_control_level": 3})");
	EXPECT_EQ(itemsOf(saved), itemsOf(expected));

	OBSDataAutoRelease defaults = obs_get_source_defaults("browser_source");
	EXPECT_STREQ(obs_data_get_string(defaults, "url"), "https://obsproject.com/browser-source");
	EXPECT_EQ(obs_data_get_int(defaults, "width"), 800);
	EXPECT_EQ(obs_data_get_int(defaults, "height"), 600);
	EXPECT_EQ(obs_data_get_int(defaults, "fps"), 30);
	EXPECT_FALSE(obs_data_get_bool(defaults, "reroute_audio"));
	obs_properties_t *properties = obs_source_properties(source);
	for (const char *key : {"is_local_file", "local_file", "url", "width", "height", "fps_custom", "fps", "css",
				"reroute_audio", "shutdown", "restart_when_active", "refreshnocache"})
		EXPECT_NE(obs_properties_get(properties, key), nullptr) << key;
	// A local file hides the address, as OBS's own source does.
	EXPECT_FALSE(obs_property_visible(obs_properties_get(properties, "url")));
	EXPECT_TRUE(obs_property_visible(obs_properties_get(properties, "local_file")));
	EXPECT_TRUE(obs_properties_get_flags(properties) & OBS_PROPERTIES_DEFER_UPDATE) << "a helper per key typed";
	obs_properties_destroy(properties);
}

// A frame of one colour (every byte `value`) published into `area` the way helpers publish.
void publishUniform(page::FrameArea &area, uint8_t value)
{
	const std::vector<uint8_t> frame(page::frameBytes(area.width(), area.height()), value);
	page::publishFrame(area.header(), area.width(), area.height(), frame.data(), size_t(area.width()) * 4);
}

bool uniform(const std::vector<uint8_t> &pixels)
{
	return !pixels.empty() && memcmp(pixels.data(), pixels.data() + 1, pixels.size() - 1) == 0;
}

// The reader against areas a helper has written: whatever the header says, copies are sized and placed by the
// size OBS chose; a slot being written is never taken; and no helper can resize the area under OBS.
TEST_F(PageSourceTest, theFrameReaderTakesOnlyWholeFramesOfTheSizeOBSChose)
{
	{
		SCOPED_TRACE("aHeaderThatLiesAboutItsSize");
		std::shared_ptr<page::FrameArea> area = page::FrameArea::create(64, 32);
		ASSERT_TRUE(area);
		std::vector<uint8_t> frame(page::frameBytes(64, 32));
		for (size_t i = 0; i < frame.size(); ++i)
			frame[i] = uint8_t(i * 7);
		publishUniform(*area, 1);
		ASSERT_TRUE(page::publishFrame(area->header(), 64, 32, frame.data(), 64 * 4)); // into the second slot
		page::FrameAreaHeader *header = area->header();
		header->width = 8192; // a slot of 8192 x 8192 would lie far past the area's end
		header->height = 8192;
		header->stride = 3;
		page::FrameReader reader;
		reader.attach(area);
		ASSERT_EQ(reader.copyNewest(), page::FrameCopy::Copied);
		EXPECT_EQ(reader.pixels(), frame);
		header->published = std::numeric_limits<uint64_t>::max(); // names the first slot
		ASSERT_EQ(reader.copyNewest(), page::FrameCopy::Copied);
		EXPECT_EQ(reader.pixels(), std::vector<uint8_t>(frame.size(), 1));
		EXPECT_EQ(reader.copyNewest(), page::FrameCopy::Nothing) << "the same frame is not copied twice";
		header->published = 3;
		obs_enter_graphics();
		gs_texture_t *texture = reader.texture();
		ASSERT_NE(texture, nullptr);
		EXPECT_EQ(gs_texture_get_width(texture), 64u);
		EXPECT_EQ(gs_texture_get_height(texture), 32u);
		obs_leave_graphics();
	}
	{
		SCOPED_TRACE("aSlotBeingWrittenIsNotTaken");
		std::shared_ptr<page::FrameArea> area = page::FrameArea::create(16, 16);
		ASSERT_TRUE(area);
		page::FrameReader reader;
		reader.attach(area);
		EXPECT_EQ(reader.copyNewest(), page::FrameCopy::Nothing) << "nothing published yet";
		publishUniform(*area, 9);
		area->header()->slotSequence[0] += 1; // the helper is writing it again
		EXPECT_EQ(reader.copyNewest(), page::FrameCopy::Torn);
		obs_enter_graphics();
		EXPECT_EQ(reader.texture(), nullptr) << "no whole frame yet: nothing to draw";
		obs_leave_graphics();
		area->header()->slotSequence[0] += 1;
		EXPECT_EQ(reader.copyNewest(), page::FrameCopy::Copied);
		EXPECT_EQ(reader.pixels(), std::vector<uint8_t>(16 * 16 * 4, 9));
	}
	{
		// A helper publishing as fast as it can, one colour and then another, rewrites the slot being copied
		// again and again: every copy taken is one whole frame, of one colour.
		SCOPED_TRACE("aSlotRewrittenDuringTheCopy");
		std::shared_ptr<page::FrameArea> area = page::FrameArea::create(1280, 720);
		ASSERT_TRUE(area);
		std::atomic<bool> stop{false};
		std::thread writer([&] {
			const std::vector<uint8_t> frames[2] = {std::vector<uint8_t>(page::frameBytes(1280, 720), 1),
								std::vector<uint8_t>(page::frameBytes(1280, 720), 2)};
			for (int i = 0; !stop; ++i)
				page::publishFrame(area->header(), 1280, 720, frames[i % 2].data(), 1280 * 4);
		});
		page::FrameReader reader;
		reader.attach(area);
		int copied = 0;
		int torn = 0;
		const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
		while ((copied < 50 || torn < 5) && std::chrono::steady_clock::now() < deadline) {
			const page::FrameCopy result = reader.copyNewest();
			if (result == page::FrameCopy::Copied) {
				++copied;
				EXPECT_TRUE(uniform(reader.pixels())) << "a torn frame was taken as whole";
			}
			torn += result == page::FrameCopy::Torn;
		}
		stop = true;
		writer.join();
		EXPECT_GE(copied, 50);
		EXPECT_GE(torn, 5) << "the writer never overtook the reader: the case was not tried";
	}
	{
		// Through the real start of a helper: the helper process tries to shrink and to grow the area it
		// inherited, and reports; OBS's side then reads every byte of it.
		SCOPED_TRACE("aHelperThatTriesToResizeTheArea");
		std::shared_ptr<page::FrameArea> area = page::FrameArea::create(320, 180);
		ASSERT_TRUE(area);
		page::HelperProcess helper;
		const std::string script = "for size in 1073741824 64 0; do"
					   " if truncate -s $size /proc/self/fd/4 2>/dev/null;"
					   " then r=\"$r resized\"; else r=\"$r refused\"; fi; done;"
					   " printf %s \"$r\" >&3";
		ASSERT_TRUE(page::startHelper("/bin/sh", {"-c", script}, area->descriptor(), helper));
		area->closeDescriptor();
		pollfd wait = {helper.socket, POLLIN, 0};
		ASSERT_EQ(poll(&wait, 1, 60000), 1);
		char report[64] = {};
		ASSERT_GT(recv(helper.socket, report, sizeof report - 1, 0), 0);
		EXPECT_STREQ(report, " refused refused refused");
		page::stopHelper(helper);
		publishUniform(*area, 200);
		page::FrameReader reader;
		reader.attach(area);
		ASSERT_EQ(reader.copyNewest(), page::FrameCopy::Copied);
		EXPECT_EQ(reader.pixels(), std::vector<uint8_t>(page::frameBytes(320, 180), 200));
	}
}

// A style sheet longer than one packet carries is refused with a log line, never cut (what was cut here would
// hide the bars); the page shows without it. Refused at a settings change and when a helper starts.
TEST_F(PageSourceTest, aStyleSheetTooLongForThePageHelperIsRefusedAndSaidSo)
{
	LogCapture log;
	const std::string css = "div{display:none}" + std::string(page::kMaxTextBytes, ' ');
	const std::string line = "style sheet of " + std::to_string(css.size()) + " bytes is longer than";
	OBSSourceAutoRelease changed = makePage(server.url() + "/bars");
	OBSDataAutoRelease settings = obs_source_get_settings(changed);
	obs_data_set_string(settings, "css", css.c_str());
	obs_source_update(changed, settings);
	EXPECT_TRUE(waitFor([&] { return !log.matching(line).empty(); }, 10000));
	EXPECT_TRUE(waitFor([&] { return showsBars(changed); }, 60000));
	changed = nullptr;

	OBSSourceAutoRelease started = obs_source_create("browser_source", "long style", settings, nullptr);
	obs_source_inc_showing(started);
	EXPECT_TRUE(waitFor([&] { return log.matching(line).size() == 2; }, 30000));
	EXPECT_TRUE(waitFor([&] { return showsBars(started); }, 60000));
}

// A source that cannot have its wake-up descriptor is not created (libobs keeps its settings); the page beside
// it goes on, and a new one starts once descriptors are there again.
TEST_F(PageSourceTest, aSourceThatCannotWatchAHelperIsNotCreated)
{
	LogCapture log;
	// Running first, it also has the sanitizers check the source's type (a check that takes a descriptor of its
	// own) before the descriptor table is full.
	OBSSourceAutoRelease beside = makePage(server.url() + "/bars", false, "beside");
	ASSERT_TRUE(waitFor([&] { return showsBars(beside); }, 60000));
	rlimit limit = {};
	ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
	OBSSourceAutoRelease source;
	// A thread that closes a descriptor while the table is full (a source of an earlier test going away) frees
	// a number for the eventfd: the attempt is made again then.
	for (int attempt = 0; attempt < 5 && log.matching("no eventfd").empty(); ++attempt) {
		source = nullptr;
		obs_wait_for_destroy_queue();
		std::vector<int> fillers; // every descriptor number below the lowered limit taken
		rlimit lowered = limit;
		lowered.rlim_cur = rlim_t(openDescriptors() + 8);
		ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
		for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
			fillers.push_back(fd);
		source = makePage(server.url() + "/bars", false, "no descriptors");
		for (int fd : fillers)
			close(fd);
		ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
	}
	ASSERT_TRUE(source);
	EXPECT_EQ(log.matching("cannot create a page source: no eventfd").size(), 1u);
	EXPECT_EQ(log.matching("Failed to create source 'no descriptors'").size(), 1u);
	EXPECT_EQ(obs_source_get_width(source), 0u);
	OBSDataAutoRelease settings = obs_source_get_settings(source);
	EXPECT_STREQ(obs_data_get_string(settings, "url"), (server.url() + "/bars").toUtf8().constData());
	source = nullptr;
	EXPECT_TRUE(showsBars(beside));
	OBSSourceAutoRelease next = makePage(server.url() + "/bars");
	EXPECT_TRUE(waitFor([&] { return showsBars(next); }, 60000));
}

// One page, drawn where it puts its pixels, premultiplied, with its tone on the source's audio; a second
// page's quieter tone stays on the second source.
TEST_F(PageSourceTest, drawsThePageAndEachPageKeepsItsOwnSound)
{
	server.serve("/loud", html(barsPage(0.5)));
	server.serve("/quiet", html(barsPage(0.1)));
	OBSSourceAutoRelease loud = makePage(server.url() + "/loud", true, "loud");
	OBSSourceAutoRelease quiet = makePage(server.url() + "/quiet", true, "quiet");
	EXPECT_TRUE(waitFor([&] { return showsBars(loud) && showsBars(quiet); }, 60000));
	EXPECT_TRUE(soundPeaksAt(loud, 0.5f, 0.05f));
	EXPECT_TRUE(soundPeaksAt(quiet, 0.1f, 0.02f));
}

// A page of one colour; `script` runs in it.
QByteArray colourPage(const char *colour, const QByteArray &script = {})
{
	return "<!DOCTYPE html><html><head><style>html,body{margin:0;height:100%}body{background:" +
	       QByteArray(colour) + "}</style></head><body><script>" + script + "</script></body></html>";
}

// Whether the whole source, drawn at `width` x `height`, is the one colour.
bool showsColour(obs_source_t *source, int r, int g, int b, uint32_t width = 320, uint32_t height = 180)
{
	const std::vector<Pixel> pixels = renderSource(source, width, height);
	for (const size_t at : {size_t(0), pixels.size() / 2 + width / 2, pixels.size() - 1})
		if (!near(pixels[at], r, g, b, 255))
			return false;
	return true;
}

// The Refresh hotkeys sources have registered, with the label Settings shows.
struct RefreshHotkey {
	obs_hotkey_id id;
	std::string description;
};
std::vector<RefreshHotkey> refreshHotkeys()
{
	std::vector<RefreshHotkey> found;
	obs_enum_hotkeys(
		[](void *data, obs_hotkey_id id, obs_hotkey_t *key) {
			if (obs_hotkey_get_registerer_type(key) == OBS_HOTKEY_REGISTERER_SOURCE &&
			    strcmp(obs_hotkey_get_name(key), "ObsBrowser.Refresh") == 0)
				static_cast<std::vector<RefreshHotkey> *>(data)->push_back(
					{id, obs_hotkey_get_description(key)});
			return true;
		},
		&found);
	return found;
}

void changeSettings(obs_source_t *source, const std::function<void(obs_data_t *)> &change)
{
	OBSDataAutoRelease settings = obs_source_get_settings(source);
	change(settings);
	obs_source_update(source, settings);
}

// One page, changed as a user changes it, row after row; each row checked by what the source draws.
TEST_F(PageSourceTest, aRunningPageFollowsItsSettings)
{
	const QByteArray stale = "body{background:#00ff00}";
	HttpAnswer cached = html("<!DOCTYPE html><html><head><link rel=stylesheet href=/cached.css></head>"
				 "<body style='margin:0;height:100vh'></body></html>");
	HttpAnswer sheet;
	sheet.headers = {{"Content-Type", "text/css"}, {"Cache-Control", "max-age=86400"}};
	sheet.body = stale;
	cached.headers.append(qMakePair(QByteArray("Cache-Control"), QByteArray("max-age=86400")));
	server.serve("/cached", cached);
	server.serve("/cached.css", sheet);
	server.serve("/blue", html(colourPage("#0000ff")));
	// Blue from 400 pixels wide: a new size's own frame tells itself apart from the last one of the old size.
	server.serve("/wide", html(barsPage(0).replace("</style>", "@media (min-width:400px){div{display:none}"
								   "body{background:#0000ff!important}}</style>")));
	server.serve("/slow", HttpAnswer::trickle("<!DOCTYPE html><html><body>", 1, 60000));
	QTemporaryDir files;
	ASSERT_TRUE(files.isValid());
	const QString local = files.path() + "/Mes pages é/page rouge #1.html";
	ASSERT_TRUE(QDir().mkpath(files.path() + "/Mes pages é"));
	{
		QFile file(local);
		ASSERT_TRUE(file.open(QIODevice::WriteOnly));
		file.write(colourPage("#ff0000"));
	}

	OBSSourceAutoRelease source = makePage(server.url() + "/bars");
	ASSERT_TRUE(waitFor([&] { return showsBars(source); }, 60000));
	struct Row {
		const char *behaviour;
		std::function<void(obs_data_t *)> change; // null: the Refresh button instead
		std::function<bool()> shows;
	};
	const Row rows[] = {
		{"aStyleSheetReachesTheLoadedPage",
		 [](obs_data_t *s) { obs_data_set_string(s, "css", "div{display:none}body{background:#00ff00}"); },
		 [&] {
			 return showsColour(source, 0, 255, 0);
		 }},
		{"aNewStyleSheetReplacesTheOldAndKeepsEveryCharacter",
		 [](obs_data_t *s) {
			 obs_data_set_string(s, "css",
					     "/* \xC3\xA9t\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x8E\xA5 \" \\ */"
					     "div{display:none}body{background:#0000ff}");
		 },
		 [&] {
			 return showsColour(source, 0, 0, 255);
		 }},
		{"aClearedStyleSheetIsGone", [](obs_data_t *s) { obs_data_set_string(s, "css", ""); },
		 [&] {
			 return showsBars(source);
		 }},
		{"aNewAddressLoads",
		 [&](obs_data_t *s) { obs_data_set_string(s, "url", (server.url() + "/blue").toUtf8().constData()); },
		 [&] {
			 return showsColour(source, 0, 0, 255);
		 }},
		{"aLocalFileWithASpaceAndAnAccentLoads",
		 [&](obs_data_t *s) {
			 obs_data_set_bool(s, "is_local_file", true);
			 obs_data_set_string(s, "local_file", local.toUtf8().constData());
		 },
		 [&] {
			 return showsColour(source, 255, 0, 0);
		 }},
		{"theAddressAgain",
		 [&](obs_data_t *s) {
			 obs_data_set_bool(s, "is_local_file", false);
			 obs_data_set_string(s, "url", (server.url() + "/cached").toUtf8().constData());
		 },
		 [&] {
			 return showsColour(source, 0, 255, 0);
		 }},
		{"refreshBypassesTheCache", nullptr,
		 [&] {
			 return showsColour(source, 255, 0, 0);
		 }},
		{"refreshBeforeTheFirstLoadEnds",
		 [&](obs_data_t *s) { obs_data_set_string(s, "url", (server.url() + "/slow").toUtf8().constData()); },
		 [&] {
			 return server.targets().contains("/slow");
		 }},
		{"refreshedTheSlowPageLoads", nullptr,
		 [&] {
			 return showsBars(source);
		 }},
	};
	// The hotkey OBS's own browser source offers, under its name, so that a collection's binding carries over.
	const std::vector<RefreshHotkey> hotkeys = refreshHotkeys();
	ASSERT_EQ(hotkeys.size(), 1u);
	bool byButton = true;
	for (const Row &row : rows) {
		SCOPED_TRACE(row.behaviour);
		if (row.change) {
			changeSettings(source, row.change);
		} else if (byButton) {
			// What the page was first given has changed on the server since.
			sheet.body = "body{background:#ff0000}";
			server.serve("/cached.css", sheet);
			obs_properties_t *properties = obs_source_properties(source);
			obs_property_button_clicked(obs_properties_get(properties, "refreshnocache"), source);
			obs_properties_destroy(properties);
			byButton = false;
		} else {
			server.serve("/slow", html(barsPage(0)));
			obs_hotkey_enable_callback_rerouting(true);
			obs_hotkey_trigger_routed_callback(hotkeys[0].id, true);
			obs_hotkey_enable_callback_rerouting(false);
		}
		EXPECT_TRUE(waitFor(row.shows, 60000));
	}

	// A new size: the last picture stays, drawn at the new size, until the new size's own first frame.
	SCOPED_TRACE("aNewSizeShowsNoTransparentFrame");
	changeSettings(source, [&](obs_data_t *s) {
		obs_data_set_string(s, "url", (server.url() + "/wide").toUtf8().constData());
	});
	ASSERT_TRUE(waitFor([&] { return showsBars(source); }, 60000));
	changeSettings(source, [](obs_data_t *s) {
		obs_data_set_int(s, "width", 480);
		obs_data_set_int(s, "height", 270);
	});
	int transparentFrames = 0;
	int frames = 0;
	EXPECT_TRUE(waitFor(
		[&] {
			++frames;
			transparentFrames += transparent(source);
			return showsColour(source, 0, 0, 255);
		},
		60000));
	EXPECT_EQ(transparentFrames, 0) << "of " << frames;
	source = nullptr;
	obs_wait_for_destroy_queue();
	EXPECT_TRUE(refreshHotkeys().empty()) << "the hotkey outlived its source";
}

// A page of tones: one per gain, each at its own frequency, each in an AudioContext of its own.
QByteArray tonePage(std::initializer_list<double> gains)
{
	QByteArray script;
	double frequency = 1000;
	for (double gain : gains) {
		script += "(function(){var c=new AudioContext(),o=c.createOscillator(),g=c.createGain();"
			  "o.frequency.value=" +
			  QByteArray::number(frequency) + ";g.gain.value=" + QByteArray::number(gain) +
			  ";o.connect(g);g.connect(c.destination);o.start();})();";
		frequency *= 1.5;
	}
	return colourPage("#00ff00", script);
}

// A page that loops a 16-bit WAV of a 1 kHz tone at `gain` in an <audio> element.
QByteArray wavPage(double gain)
{
	const int rate = 48000;
	const int frames = rate / 2;
	QByteArray wav;
	auto put = [&](uint32_t value, int bytes) {
		for (int i = 0; i < bytes; ++i)
			wav += char((value >> (8 * i)) & 0xff);
	};
	wav += "RIFF";
	put(36 + frames * 2, 4);
	wav += "WAVEfmt ";
	put(16, 4);
	put(1, 2); // PCM
	put(1, 2); // mono
	put(rate, 4);
	put(rate * 2, 4);
	put(2, 2);
	put(16, 2);
	wav += "data";
	put(frames * 2, 4);
	for (int i = 0; i < frames; ++i)
		put(uint16_t(int16_t(std::lround(gain * 32767 * std::sin(2 * M_PI * 1000 * i / rate)))), 2);
	return "<!DOCTYPE html><html><body><audio autoplay loop src='data:audio/wav;base64," + wav.toBase64() +
	       "'></audio></body></html>";
}

// A page's sound through everything that happens to a page: each row changes the page, and its sound must
// arrive at its own level afterwards.
TEST_F(PageSourceTest, soundSurvivesThePagesLife)
{
	server.serve("/tone", html(tonePage({0.5})));
	server.serve("/other", html(tonePage({0.3})));
	server.serve("/two", html(tonePage({0.2, 0.2})));
	server.serve("/wav", html(wavPage(0.5)));
	server.serve("/clock", html(tonePage({0.1})));
	OBSSourceAutoRelease source = makePage(server.url() + "/tone", true);
	OBSSourceAutoRelease clock = makePage(server.url() + "/clock", true, "clock");
	ASSERT_TRUE(soundPeaksAt(source, 0.5f, 0.05f));
	auto refresh = [&] {
		obs_properties_t *properties = obs_source_properties(source);
		obs_property_button_clicked(obs_properties_get(properties, "refreshnocache"), source);
		obs_properties_destroy(properties);
	};
	std::string current = "/tone";
	auto go = [&](const char *path) {
		current = path;
		changeSettings(source, [&](obs_data_t *s) {
			obs_data_set_string(s, "url", (server.url() + path).toUtf8().constData());
		});
	};
	bool activated = false;
	struct Row {
		const char *behaviour;
		std::function<void()> act;
		float level, tolerance;
		int seconds = 1; // straight seconds at that level
	};
	const Row rows[] = {
		{"hiddenAndShownAgain",
		 [&] {
			 obs_source_dec_showing(source);
			 AudioPeak clockPeak(clock);
			 waitFor([&] { return clockPeak.frames() > 48000; }, 30000);
			 obs_source_inc_showing(source);
		 },
		 0.5f, 0.05f},
		{"aNewAddress", [&] { go("/other"); }, 0.3f, 0.03f},
		{"refresh",
		 [&] {
			 server.serve("/other", html(tonePage({0.4})));
			 refresh();
		 },
		 0.4f, 0.04f},
		// Each alone peaks at 0.2; at 1 and 1.5 kHz together they reach more than 0.38 whatever their phases.
		{"twoStreamsAtOnce", [&] { go("/two"); }, 0.4f, 0.025f},
		// The WAV lasts half a second: its loop must hold for 16 passes. (WebKit 2.48 loops it only through the
		// page and the mended web extension; Debian's froze the web process within a few passes.)
		{"aSixteenBitWav", [&] { go("/wav"); }, 0.5f, 0.03f, 8},
		{"restartWhenActive",
		 [&] {
			 server.serve(QByteArray::fromStdString(current), html(tonePage({0.25})));
			 changeSettings(source,
					[](obs_data_t *s) { obs_data_set_bool(s, "restart_when_active", true); });
			 obs_source_inc_active(source);
			 activated = true;
		 },
		 0.25f, 0.03f},
	};
	float level = 0.5f;
	for (const Row &row : rows) {
		SCOPED_TRACE(row.behaviour);
		row.act();
		EXPECT_TRUE(soundPeaksAt(source, row.level, row.tolerance));
		for (int second = 1; second < row.seconds; ++second) {
			const Second next = nextSecond(source);
			if (!next.peaksAt(row.level, row.tolerance)) {
				ADD_FAILURE() << "second " << second << " peaked at " << next.peak << " over "
					      << next.frames << " frames";
				break;
			}
		}
		level = row.level;
	}

	SCOPED_TRACE("reroutedToTheDesktopAndBack");
	changeSettings(source, [](obs_data_t *s) { obs_data_set_bool(s, "reroute_audio", false); });
	EXPECT_TRUE(waitFor([&] { return !obs_source_audio_active(source); }, 10000)) << "still in the mixer";
	{
		AudioPeak peak(source);
		AudioPeak clockPeak(clock);
		ASSERT_TRUE(waitFor([&] { return clockPeak.frames() > 48000; }, 30000));
		EXPECT_EQ(peak.frames(), 0) << "sound reached the source while it goes to the desktop";
	}
	changeSettings(source, [](obs_data_t *s) { obs_data_set_bool(s, "reroute_audio", true); });
	EXPECT_TRUE(soundPeaksAt(source, level, 0.05f));
	EXPECT_TRUE(obs_source_audio_active(source));
	if (activated)
		obs_source_dec_active(source);
}

// A page that says in the console what it receives, and so in OBS's log.
const char kRecordingPage[] = R"(<!DOCTYPE html><html><body style='margin:0'>
<textarea style='width:300px;height:160px'></textarea><script>
function say(s) { console.log('page: ' + s); }
let flooded = false;
addEventListener('mousedown', e => say('mousedown ' + e.button + ' at ' + e.clientX + ',' + e.clientY +
	(e.shiftKey ? ' shift' : '')));
addEventListener('wheel', e => say('wheel ' + (e.deltaY < 0 ? 'up' : 'down')));
addEventListener('keydown', e => {
	say('keydown ' + e.key);
	if (e.key === 'f' && !flooded) {
		flooded = true;
		for (let i = 0; i < 200; ++i) console.log('flood ' + i);
	}
});
addEventListener('focus', () => say('focus ' + document.hasFocus()));
addEventListener('blur', () => say('blur ' + document.hasFocus()));
function scene() { obsstudio.getCurrentScene(s => say('getCurrentScene ' + JSON.stringify(s))); }
addEventListener('obsSceneChanged', e => { say('obsSceneChanged ' + JSON.stringify(e.detail)); scene(); });
obsstudio.getStatus(s => say('getStatus ' + JSON.stringify(s)));
scene();
let frames = 0;
(function paint() { ++frames; requestAnimationFrame(paint); })();
document.addEventListener('visibilitychange', () => {
	const at = frames;
	say('visibilitychange ' + document.visibilityState + ' ' + document.hidden);
	if (document.hidden)
		setTimeout(() => say('frames while hidden ' + (frames - at)), 1500);
	else
		requestAnimationFrame(() => say('painting again'));
});
addEventListener('load', () => say('ready ' + typeof obsstudio.pluginVersion));
obsstudio.getControlLevel(level => say('loaded at level ' + level));
</script></body></html>)";

// What OBS's Interact window and front end send a page, row after row, each checked by what the page then says
// in OBS's log; and what a page may ask OBS depends on its permissions.
TEST_F(PageSourceTest, aPageHearsTheUserAndOBS)
{
	LogCapture log;
	TestScene scene = obs_scene_create("Cena é 1");
	frontend::setCurrentScene(obs_scene_get_source(scene));
	server.serve("/record", html(kRecordingPage));
	OBSSourceAutoRelease source = makePage(server.url() + "/record");
	auto says = [&](const std::string &text, int timeoutMs = 30000) {
		return waitFor([&] { return !log.matching("'page' console.log: page: " + text).empty(); }, timeoutMs);
	};
	// For what the page may not hear at once: a setting that reaches the source at its next video tick, or a line
	// the page's console share holds back.
	auto saysOnceRepeated = [&](const std::function<void()> &act, const std::string &text) {
		return waitFor(
			[&] {
				act();
				return says(text, 1000);
			},
			30000);
	};
	ASSERT_TRUE(says("ready string"));
	obs_mouse_event at = {INTERACT_SHIFT_KEY | INTERACT_MOUSE_LEFT, 40, 30};
	auto key = [&](const char *text, uint32_t keysym) {
		obs_key_event event = {0, const_cast<char *>(text), 0, 0, keysym};
		obs_source_send_key_click(source, &event, false);
		obs_source_send_key_click(source, &event, true);
	};
	struct Row {
		const char *behaviour;
		std::function<void()> act;
		std::string said;
	};
	const Row rows[] = {
		// At the default level a page reads OBS's status, but not its scenes; the refused call gets null.
		{"theDefaultLevel", [] {}, "loaded at level 1"},
		{"statusAtTheDefaultLevel", [] {}, R"(getStatus {"recording":false,"recordingPaused":false,)"},
		{"sceneRefusedAtTheDefaultLevel", [] {}, "getCurrentScene null"},
		{"aClick",
		 [&] {
			 obs_source_send_mouse_click(source, &at, MOUSE_LEFT, false, 1);
			 obs_source_send_mouse_click(source, &at, MOUSE_LEFT, true, 1);
		 },
		 "mousedown 0 at 40,30 shift"},
		{"aWheelNotchAway", [&] { obs_source_send_mouse_wheel(source, &at, 0, 120); }, "wheel up"},
		{"aKeyWithAnAccent", [&] { key("é", 0xe9); }, "keydown é"},
		{"aKeyWithoutText", [&] { key("", 0xff0d); }, "keydown Enter"},
		// Shown nowhere, the page is told so and paints no more (a frame already under way aside); its timers
		// go on. Shown again, it paints at once.
		{"hiddenItRests",
		 [&] {
			 obs_source_dec_showing(source);
			 EXPECT_TRUE(says("visibilitychange hidden true"));
			 ASSERT_TRUE(says("frames while hidden "));
			 const std::string line = log.matching("frames while hidden ").front().text;
			 EXPECT_LE(std::stoi(line.substr(line.rfind(' ') + 1)), 2) << line;
		 },
		 "frames while hidden "},
		{"shownItPaintsAgain",
		 [&] {
			 obs_source_inc_showing(source);
			 EXPECT_TRUE(says("visibilitychange visible false"));
		 },
		 "painting again"},
		// As in OBS's own, the page loads again, and so reads its new permissions.
		{"theLevelRaisedToReadUser",
		 [&] {
			 changeSettings(source, [](obs_data_t *s) { obs_data_set_int(s, "webpage_control_level", 2); });
		 },
		 "loaded at level 2"},
		// In a page loaded again, where the console has room: the page's first lines used its share.
		{"theKeyboardGiven", [&] { obs_source_send_focus(source, true); }, "focus true"},
		{"theKeyboardTaken", [&] { obs_source_send_focus(source, false); }, "blur false"},
		{"theSceneReadAsItLoaded", [] {}, R"(getCurrentScene {"height":1080,"name":"Cena é 1","width":1920})"},
		// Again until the page's console has room for the event: the rows before may have used its share.
		{"aSceneChange",
		 [&] {
			 EXPECT_TRUE(
				 saysOnceRepeated([] { frontend::fireEvent(OBS_FRONTEND_EVENT_SCENE_CHANGED); },
						  R"(obsSceneChanged {"height":1080,"name":"Cena é 1","width":1920})"));
		 },
		 R"(obsSceneChanged {"height":1080,"name":"Cena é 1","width":1920})"},
	};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.behaviour);
		row.act();
		EXPECT_TRUE(says(row.said));
	}
	EXPECT_EQ(log.matching("obsstudio.getCurrentScene, which needs").size(), 1u) << "a refusal is logged once";

	SCOPED_TRACE("aPageThatFloodsTheConsole");
	// The page floods once, at the first f; pressed again until the page's console has room to say so.
	EXPECT_TRUE(saysOnceRepeated([&] { key("f", 0x66); }, "keydown f"));
	EXPECT_TRUE(saysOnceRepeated([&] { key("z", 0x7a); }, "keydown z"));
	EXPECT_LE(log.matching("console.log: flood").size(), 12u);
	EXPECT_FALSE(log.matching("earlier lines dropped").empty()) << "the dropped lines are told";
	frontend::setCurrentScene(nullptr);
}

// Its properties speak OBS's language, as OBS's own browser source's do.
TEST_F(PageSourceTest, itsPropertiesAreTranslated)
{
	struct Row {
		const char *locale;
		const char *localFile, *permissions, *refreshHotkey;
	};
	const Row rows[] = {
		{"pt-BR", "Arquivo local", "Permissões da página", "Atualizar o cache da página atual"},
		{"pt-PT", "Ficheiro local", "Permissões da página", "Atualizar memória da página atual"},
		{"en-US", "Local file", "Page permissions", "Refresh cache of current page"},
	};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.locale);
		obs_set_locale(row.locale);
		obs_properties_t *properties = obs_get_source_properties("browser_source");
		EXPECT_STREQ(obs_property_description(obs_properties_get(properties, "is_local_file")), row.localFile);
		EXPECT_STREQ(obs_property_description(obs_properties_get(properties, "webpage_control_level")),
			     row.permissions);
		obs_properties_destroy(properties);
		// The Refresh hotkey, as Settings lists it for a source made in that language.
		OBSDataAutoRelease settings = obs_data_create_from_json(R"({"url": ""})");
		OBSSourceAutoRelease source = obs_source_create("browser_source", "page", settings, nullptr);
		ASSERT_TRUE(source);
		// libobs destroys the last row's source on a thread of its own: this one's hotkey is the one left.
		std::vector<RefreshHotkey> hotkeys;
		ASSERT_TRUE(waitFor([&] { return (hotkeys = refreshHotkeys()).size() == 1; }, 10000));
		EXPECT_EQ(hotkeys[0].description, row.refreshHotkey);
	}
}

// Failing pages: each leaves the source transparent without holding up its destruction; a helper that is
// killed, or stops answering, is replaced by a new one.
TEST_F(PageSourceTest, aFailingPageStaysTransparentAndNeverHoldsUpDestruction)
{
	HttpTestServer silent;
	silent.serveOtherwise(HttpAnswer::silence());
	struct Row {
		const char *behaviour;
		QString url;
		int signalToHelper; // 0: none
	};
	const Row rows[] = {
		{"aRefusedConnection", QString("http://127.0.0.1:1/"), 0},
		{"aServerThatNeverAnswers", silent.url() + "/page", 0},
		{"aHelperKilledWithSigkillIsReplaced", server.url() + "/bars", SIGKILL},
		{"aFrozenHelperIsReplaced", server.url() + "/bars", SIGSTOP},
	};
	auto helpers = [] {
		std::set<pid_t> found;
		for (pid_t pid : markedProcesses())
			if (commandOf(pid) == "lorvalen-page-h")
				found.insert(pid);
		return found;
	};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.behaviour);
		waitFor([&] { return helpers().empty(); }, 10000); // the pages of earlier tests and rows are gone
		LogCapture log;                                    // outlives the source, whose threads log
		OBSSourceAutoRelease source = makePage(row.url);
		if (row.signalToHelper) {
			ASSERT_TRUE(waitFor([&] { return showsBars(source); }, 60000));
			const std::set<pid_t> first = helpers();
			ASSERT_EQ(first.size(), 1u);
			kill(*first.begin(), row.signalToHelper);
			EXPECT_TRUE(waitFor(
				[&] {
					const std::set<pid_t> now = helpers();
					return now.size() == 1 && now != first;
				},
				60000))
				<< "not replaced";
			EXPECT_TRUE(waitFor([&] { return showsBars(source); }, 60000))
				<< "the new helper shows no page";
		} else {
			// Long enough for a few attempts of the refused page, each a new helper.
			waitFor([] { return false; }, 6000);
			EXPECT_TRUE(transparent(source));
			std::string lines;
			for (const LogLine &line : log.matching(kPrefix))
				lines += line.text + "\n";
			EXPECT_LE(log.matching(kPrefix).size(), 1u) << "a failing page is logged once:\n" << lines;
			if (row.url.contains(":1/")) {
				EXPECT_EQ(log.matching("did not load").size(), 1u) << lines;
			}
		}
		const auto before = std::chrono::steady_clock::now();
		source = nullptr;
		obs_wait_for_destroy_queue();
		EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10));
	}
}

// Creating and destroying pages leaves nothing behind: libobs allocations, descriptors, processes.
TEST_F(PageSourceTest, aHundredPagesComeAndGoWithoutATrace)
{
	const long allocations = obs_allocs::now();
	const int descriptors = openDescriptors();
	for (int i = 0; i < 100; ++i) {
		OBSSourceAutoRelease source = makePage(server.url() + "/bars");
		// Some go at once, some while WebKit starts, some once they draw.
		if (i % 10 == 9)
			waitFor([&] { return showsBars(source); }, 60000);
		else
			waitFor([] { return false; }, (i % 3) * 150);
	}
	EXPECT_EQ(obs_allocs::settledAt(allocations), allocations);
	EXPECT_TRUE(waitFor([] { return markedProcesses().empty(); }, 10000));
	for (pid_t pid : markedProcesses())
		ADD_FAILURE() << "left running: " << pid << " " << commandOf(pid);
	// The test server closes the pages' last connections from its event loop.
	waitFor([&] { return openDescriptors() == descriptors; }, 10000);
	EXPECT_EQ(openDescriptors(), descriptors);
}

} // namespace
