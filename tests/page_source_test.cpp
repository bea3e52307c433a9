// The page source module loaded by libobs's own loader, its browser_source rendering real pages from an HTTP
// server on 127.0.0.1 through real page helpers, WebKit and GStreamer.
#include "page-source/page_rules.hpp"
#include "support/browser_stand_in.hpp"
#include "support/http_server.hpp"
#include "support/log_capture.hpp"
#include "support/obs_allocs.hpp"
#include "support/obs_session.hpp"

#include <gtest/gtest.h>
#include <obs-module.h>
#include <obs.hpp>

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <dirent.h>
#include <dlfcn.h>
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

OBSSourceAutoRelease makePage(const QString &url, bool audio = false, const char *name = "page")
{
	OBSDataAutoRelease settings = obs_data_create();
	obs_data_set_string(settings, "url", url.toUtf8().constData());
	obs_data_set_int(settings, "width", 320);
	obs_data_set_int(settings, "height", 180);
	obs_data_set_bool(settings, "fps_custom", true);
	obs_data_set_int(settings, "fps", 30);
	obs_data_set_bool(settings, "reroute_audio", audio);
	return obs_source_create("browser_source", name, settings, nullptr);
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
		ASSERT_EQ(obs_open_module(&module, LORVALEN_PAGE_SOURCE_PATH, nullptr), MODULE_SUCCESS);
		ASSERT_TRUE(obs_init_module(module));
		obs_post_load_modules();
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
	};
	const Row rows[] = {
		{"customRateIsTaken", {"u", "", 1280, 720, true, 25, false, false, false}, 60, 1, 1280, 720, 25, 1},
		{"withoutCustomRateTheCanvasRate",
		 {"u", "", 640, 360, false, 25, false, false, false},
		 30000,
		 1001,
		 640,
		 360,
		 30000,
		 1001},
		{"outOfRangeIsClamped", {"u", "", 0, 100000, true, 500, false, false, false}, 30, 1, 1, 8192, 60, 1},
		{"negativeRateIsOne", {"u", "", -5, 10, true, -1, false, false, false}, 30, 1, 1, 10, 1, 1},
	};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.behaviour);
		const page::PageConfig config = page::pageConfig(row.raw, row.canvasNum, row.canvasDen);
		EXPECT_EQ(config.width, row.width);
		EXPECT_EQ(config.height, row.height);
		EXPECT_EQ(config.fpsNum, row.fpsNum);
		EXPECT_EQ(config.fpsDen, row.fpsDen);
	}

	page::PageConfig running;
	page::PageConfig wanted = running;
	wanted.url = "http://127.0.0.1/other";
	wanted.css = "x";
	EXPECT_FALSE(page::needsNewPipeline(running, wanted)) << "a new address or style navigates";
	wanted.fpsNum = 60;
	wanted.fpsDen = 2;
	EXPECT_FALSE(page::needsNewPipeline(running, wanted)) << "60/2 is the same rate as 30/1";
	wanted.fpsNum = 25;
	EXPECT_TRUE(page::needsNewPipeline(running, wanted));
	wanted = running;
	wanted.height = 601;
	EXPECT_TRUE(page::needsNewPipeline(running, wanted));
	EXPECT_EQ(page::helperArguments(running), (std::vector<std::string>{"800", "600", "30", "1", "about:blank"}));
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
	ASSERT_EQ(obs_open_module(&module, LORVALEN_PAGE_SOURCE_PATH, nullptr), MODULE_SUCCESS);
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
	for (const char *name : {"obs_module_set_pointer", "obs_module_ver", "obs_module_load", "obs_module_post_load"})
		EXPECT_NE(dlsym(handle, name), nullptr) << name;
	for (const char *name : {"obs_current_module", "page_log", "obs_module_unload", "obs_module_set_locale"})
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
	for (const char *key :
	     {"url", "width", "height", "fps_custom", "fps", "css", "reroute_audio", "shutdown", "restart_when_active"})
		EXPECT_NE(obs_properties_get(properties, key), nullptr) << key;
	obs_properties_destroy(properties);
}

// One page, drawn where it puts its pixels, premultiplied, with its tone on the source's audio; a second
// page's quieter tone stays on the second source.
TEST_F(PageSourceTest, drawsThePageAndEachPageKeepsItsOwnSound)
{
	server.serve("/loud", html(barsPage(0.5)));
	server.serve("/quiet", html(barsPage(0.1)));
	OBSSourceAutoRelease loud = makePage(server.url() + "/loud", true, "loud");
	OBSSourceAutoRelease quiet = makePage(server.url() + "/quiet", true, "quiet");
	AudioPeak loudPeak(loud);
	AudioPeak quietPeak(quiet);
	EXPECT_TRUE(waitFor([&] { return showsBars(loud) && showsBars(quiet); }, 60000));
	EXPECT_TRUE(waitFor([&] { return loudPeak.frames() > 48000 && quietPeak.frames() > 48000; }, 60000));
	EXPECT_NEAR(loudPeak.peak(), 0.5f, 0.05f);
	EXPECT_NEAR(quietPeak.peak(), 0.1f, 0.02f);
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
