// The page source in OBS's terms: a browser_source of the page source module shown on a libobs canvas, at
// 1280 x 720 and 1920 x 1080, 30 fps. Frames delivered per second against the rate asked for, creation to first
// frame, CPU of this process plus its page helper and WebKit processes, shown and hidden, their memory; beside each
// CPU figure the floor, a bare `gst-launch-1.0 wpesrc ! fakesink` at the same caps measured in the same run, and
// for what libobs spends drawing the page, OBS's image_source of the same size. Then a tone page's sound over a long
// run (LORVALEN_PAGE_BENCH_DRIFT_SECONDS, 600 unless set): gaps, repeats and drift from OBS's clock. A figure or
// floor that could not be measured is reported as such, with no ratio, and the run exits with status 2.
//
//   lorvalen-page-bench [RESULTS.md]
#include "support/http_server.hpp"
#include "support/obs_session.hpp"

#include <obs-module.h>
#include <obs.hpp>

#include <util/platform.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>

#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <algorithm>
#include <mutex>

#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

namespace {

const char *const kMarker = "LORVALEN_PAGE_BENCH_RUN";
constexpr int kWarmUpMs = 4000;
constexpr int kWindowMs = 10000;

// The same bars standing still: once drawn, the page sends no new frames.
const char *const kStillPage =
	"<!DOCTYPE html><html><body style='margin:0;overflow:hidden;display:flex'>"
	"<div style='flex:1;background:#c0c0c0'></div><div style='flex:1;background:#c0c000'></div>"
	"<div style='flex:1;background:#00c0c0'></div><div style='flex:1;background:#00c000'></div>"
	"<div style='flex:1;background:#c000c0'></div><div style='flex:1;background:#c00000'></div>"
	"<div style='flex:1;background:#0000c0'></div></body></html>";

// A steady 1 kHz tone.
const char *const kTonePage =
	"<!DOCTYPE html><html><body><script>var c=new AudioContext(),o=c.createOscillator(),g=c.createGain();"
	"o.frequency.value=1000;g.gain.value=0.5;o.connect(g);g.connect(c.destination);o.start();</script></body></html>";

// A page whose colour changes at every animation frame, over bars like the demo page's.
const char *const kPage =
	"<!DOCTYPE html><html><body style='margin:0;overflow:hidden'><canvas id=c></canvas><script>"
	"var c=document.getElementById('c'),g=c.getContext('2d'),n=0;"
	"var bars=['#c0c0c0','#c0c000','#00c0c0','#00c000','#c000c0','#c00000','#0000c0'];"
	"function f(){c.width=innerWidth;c.height=innerHeight;var w=c.width/7;"
	"for(var i=0;i<7;i++){g.fillStyle=bars[i];g.fillRect(i*w,0,w+1,c.height*0.7);}"
	"n=(n+1)%250;g.fillStyle='rgb('+n+',0,0)';g.fillRect(0,0,16,16);"
	"g.fillStyle='#fff';g.font='48px sans-serif';g.fillText(new Date().toISOString(),40,c.height*0.85);"
	"requestAnimationFrame(f);}requestAnimationFrame(f);</script></body></html>";

double nowSeconds()
{
	return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string readFile(const std::string &path)
{
	std::ifstream in(path);
	std::stringstream text;
	text << in.rdbuf();
	return text.str();
}

// Processes carrying the marker with this value, besides this one.
std::vector<pid_t> marked(const std::string &value)
{
	std::vector<pid_t> found;
	const std::string entry = std::string(kMarker) + "=" + value;
	DIR *proc = opendir("/proc");
	while (dirent *e = proc ? readdir(proc) : nullptr) {
		const pid_t pid = pid_t(strtol(e->d_name, nullptr, 10));
		if (pid <= 0 || pid == getpid())
			continue;
		const std::string environ = readFile("/proc/" + std::to_string(pid) + "/environ");
		std::string::size_type at = 0;
		while (at < environ.size()) {
			const std::string::size_type end = environ.find('\0', at);
			if (environ.compare(at, end - at, entry) == 0) {
				found.push_back(pid);
				break;
			}
			at = end == std::string::npos ? environ.size() : end + 1;
		}
	}
	if (proc)
		closedir(proc);
	return found;
}

// CPU seconds (user + system) of a process so far; 0 when it is gone.
double cpuSeconds(pid_t pid)
{
	const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
	const size_t close = stat.rfind(')');
	if (close == std::string::npos)
		return 0.0;
	std::istringstream fields(stat.substr(close + 2));
	std::string field;
	unsigned long long utime = 0, stime = 0;
	for (int i = 3; fields >> field; ++i) {
		if (i == 14)
			utime = std::stoull(field);
		else if (i == 15) {
			stime = std::stoull(field);
			break;
		}
	}
	return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// A "Key: N kB" line of a /proc file of the process, in MiB; 0 when it is not there.
double procMiB(pid_t pid, const char *file, const std::string &key)
{
	std::istringstream fields(readFile("/proc/" + std::to_string(pid) + "/" + file));
	std::string line;
	while (std::getline(fields, line))
		if (line.rfind(key, 0) == 0)
			return std::stod(line.substr(key.size())) / 1024.0;
	return 0.0;
}

double rssMiB(pid_t pid)
{
	return procMiB(pid, "status", "VmRSS:");
}

// Proportional set size: shared pages (WebKit's libraries, shared memory) counted once across processes.
double pssMiB(pid_t pid)
{
	return procMiB(pid, "smaps_rollup", "Pss:");
}

struct Usage {
	double cpuPercent = 0.0;    // of one core, over the window, all the processes measured
	double ownCpuPercent = 0.0; // the part of the first process (this one, when measured)
	double rssMiB = 0.0;        // at the window's end
	double pssMiB = 0.0;
};

// CPU and memory of `pids` over kWindowMs while `during` runs every few milliseconds.
Usage measure(const std::vector<pid_t> &pids, const std::function<void()> &during)
{
	std::vector<double> before;
	for (pid_t pid : pids)
		before.push_back(cpuSeconds(pid));
	const double start = nowSeconds();
	while (nowSeconds() - start < kWindowMs / 1000.0)
		during();
	const double seconds = nowSeconds() - start;
	Usage usage;
	for (size_t i = 0; i < pids.size(); ++i) {
		const double used = 100.0 * (cpuSeconds(pids[i]) - before[i]) / seconds;
		usage.cpuPercent += used;
		if (i == 0)
			usage.ownCpuPercent = used;
		usage.rssMiB += rssMiB(pids[i]);
		usage.pssMiB += pssMiB(pids[i]);
	}
	return usage;
}

// The colour of the page's corner as OBS draws the source, through a 16 x 16 target.
uint32_t cornerColour(obs_source_t *source, uint32_t width, uint32_t height)
{
	uint32_t colour = 0;
	obs_enter_graphics();
	gs_texrender_t *target = gs_texrender_create(GS_RGBA, GS_ZS_NONE);
	gs_stagesurf_t *stage = gs_stagesurface_create(1, 1, GS_RGBA);
	if (gs_texrender_begin(target, 1, 1)) {
		vec4 clear;
		vec4_zero(&clear);
		gs_clear(GS_CLEAR_COLOR, &clear, 0.0f, 0);
		// Only the page's 16 x 16 corner square lands on the 1 x 1 target.
		gs_ortho(0.0f, 8.0f, 0.0f, 8.0f, -100.0f, 100.0f);
		obs_source_video_render(source);
		gs_texrender_end(target);
		gs_stage_texture(stage, gs_texrender_get_texture(target));
		uint8_t *data = nullptr;
		uint32_t lineSize = 0;
		if (gs_stagesurface_map(stage, &data, &lineSize)) {
			memcpy(&colour, data, 4);
			gs_stagesurface_unmap(stage);
		}
	}
	gs_stagesurface_destroy(stage);
	gs_texrender_destroy(target);
	obs_leave_graphics();
	(void)width;
	(void)height;
	return colour;
}

void pump(int ms)
{
	HttpTestServer::waitUntil([] { return false; }, ms);
}

struct Result {
	uint32_t width = 0;
	uint32_t height = 0;
	double firstFrameMs = -1.0;
	double framesPerSecond = 0.0;
	Usage source;
	Usage floor;
	double idleCpuPercent = 0.0;
	double stillCpuPercent = 0.0;  // this process, showing a page that sends no new frames
	double imageCpuPercent = 0.0;  // this process, showing an image_source of the same size instead
	double hiddenCpuPercent = 0.0; // the helper and WebKit, the animated page hidden
	int processes = 0;
	std::vector<std::string> unmeasured; // why a figure could not be measured
};

Result run(HttpTestServer &server, obs_scene_t *scene, uint32_t width, uint32_t height)
{
	Result result;
	result.width = width;
	result.height = height;
	const std::string url = (server.url() + "/page").toStdString();

	// libobs alone, drawing an empty canvas: what the process costs without the page.
	result.idleCpuPercent = measure({getpid()}, [] { pump(5); }).cpuPercent;

	setenv(kMarker, "source", 1);
	OBSDataAutoRelease settings = obs_data_create();
	obs_data_set_string(settings, "url", url.c_str());
	obs_data_set_int(settings, "width", width);
	obs_data_set_int(settings, "height", height);
	obs_data_set_bool(settings, "fps_custom", true);
	obs_data_set_int(settings, "fps", 30);
	const double created = nowSeconds();
	OBSSourceAutoRelease source = obs_source_create("browser_source", "bench page", settings, nullptr);
	obs_sceneitem_t *item = obs_scene_add(scene, source);
	uint32_t colour = cornerColour(source, width, height);
	while ((colour >> 24) == 0 && nowSeconds() - created < 60) {
		pump(2);
		colour = cornerColour(source, width, height);
	}
	if ((colour >> 24) != 0)
		result.firstFrameMs = (nowSeconds() - created) * 1000.0;
	else
		result.unmeasured.push_back("the page showed no frame within 60 s");
	pump(kWarmUpMs);

	std::vector<pid_t> pids = marked("source");
	result.processes = int(pids.size());
	if (pids.empty())
		result.unmeasured.push_back("no page helper process was found to measure");
	pids.insert(pids.begin(), getpid());
	long changes = 0;
	result.source = measure(pids, [&] {
		const uint32_t now = cornerColour(source, width, height);
		if (now != colour) {
			++changes;
			colour = now;
		}
		pump(8);
	});
	result.framesPerSecond = changes / (kWindowMs / 1000.0);

	// The same page hidden: told so, it should rest.
	obs_sceneitem_set_visible(item, false);
	pump(kWarmUpMs);
	result.hiddenCpuPercent = measure(marked("source"), [] { pump(5); }).cpuPercent;
	obs_sceneitem_set_visible(item, true);
	pump(kWarmUpMs);

	// What this process spends drawing the page on the canvas, without a new frame to upload.
	obs_data_set_string(settings, "url", (server.url() + "/still").toStdString().c_str());
	obs_source_update(source, settings);
	pump(kWarmUpMs);
	result.stillCpuPercent = measure({getpid()}, [] { pump(5); }).cpuPercent;
	obs_sceneitem_remove(item);
	source = nullptr;
	obs_wait_for_destroy_queue();
	pump(1000);

	// Its floor: OBS's own image_source of the same size, in the same place on the same canvas.
	const QString image = QDir::temp().filePath(QString("lorvalen-page-bench-%1x%2.png").arg(width).arg(height));
	QImage bars(int(width), int(height), QImage::Format_ARGB32);
	for (int x = 0; x < int(width); ++x)
		for (int y = 0; y < int(height); ++y)
			bars.setPixel(x, y, 0xff000000u | (0x24u * uint32_t(x * 7 / int(width))) << 8);
	OBSDataAutoRelease imageSettings = obs_data_create();
	obs_data_set_string(imageSettings, "file", image.toUtf8().constData());
	OBSSourceAutoRelease still =
		bars.save(image) ? obs_source_create("image_source", "bench image", imageSettings, nullptr) : nullptr;
	if (still) {
		obs_sceneitem_t *stillItem = obs_scene_add(scene, still);
		const double shown = nowSeconds();
		while ((cornerColour(still, width, height) >> 24) == 0 && nowSeconds() - shown < 30)
			pump(5);
		pump(kWarmUpMs);
		if ((cornerColour(still, width, height) >> 24) != 0)
			result.imageCpuPercent = measure({getpid()}, [] { pump(5); }).cpuPercent;
		obs_sceneitem_remove(stillItem);
		still = nullptr;
		obs_wait_for_destroy_queue();
	}
	QFile::remove(image);
	if (!(result.imageCpuPercent > 0.0))
		result.unmeasured.push_back("the image_source floor: OBS's image_source showed nothing");

	setenv(kMarker, "floor", 1);
	QProcess floor;
	const QString caps =
		QString("video/x-raw,format=BGRA,width=%1,height=%2,framerate=30/1").arg(width).arg(height);
	floor.start("gst-launch-1.0", {"-q", "wpesrc", QString("location=") + url.c_str(), "draw-background=false", "!",
				       caps, "!", "queue", "!", "fakesink", "sync=true"});
	const bool floorStarted = floor.waitForStarted();
	if (!floorStarted)
		result.unmeasured.push_back("the floor: gst-launch-1.0 did not start (" +
					    floor.errorString().toStdString() + "; it comes with gstreamer1.0-tools)");
	pump(kWarmUpMs + 2000);
	std::vector<pid_t> floorPids = marked("floor");
	result.floor = measure(floorPids, [] { pump(20); });
	if (floorStarted && !(result.floor.cpuPercent > 0.0))
		result.unmeasured.push_back("the floor: gst-launch-1.0 used no CPU (exit status " +
					    std::to_string(floor.exitCode()) + ": " +
					    floor.readAllStandardError().left(200).trimmed().toStdString() + ")");
	floor.kill();
	floor.waitForFinished(5000);
	for (pid_t pid : marked("floor"))
		kill(pid, SIGKILL);
	unsetenv(kMarker);
	pump(1000);
	return result;
}

// `count` animated pages at 1280 x 720 shown together: this process, their helpers and WebKit.
struct Pages {
	int count = 0;
	Usage usage;
	std::string unmeasured;
};

Pages runPages(HttpTestServer &server, obs_scene_t *scene, int count)
{
	Pages result;
	result.count = count;
	setenv(kMarker, "pages", 1);
	std::vector<OBSSourceAutoRelease> sources;
	std::vector<obs_sceneitem_t *> items;
	for (int i = 0; i < count; ++i) {
		OBSDataAutoRelease settings = obs_data_create();
		obs_data_set_string(settings, "url", (server.url() + "/page").toStdString().c_str());
		obs_data_set_int(settings, "width", 1280);
		obs_data_set_int(settings, "height", 720);
		obs_data_set_bool(settings, "fps_custom", true);
		obs_data_set_int(settings, "fps", 30);
		sources.emplace_back(
			obs_source_create("browser_source", ("page " + std::to_string(i)).c_str(), settings, nullptr));
		items.push_back(obs_scene_add(scene, sources.back()));
	}
	const double started = nowSeconds();
	auto allDrawn = [&] {
		for (const OBSSourceAutoRelease &source : sources)
			if ((cornerColour(source, 1280, 720) >> 24) == 0)
				return false;
		return true;
	};
	while (!allDrawn() && nowSeconds() - started < 90)
		pump(20);
	if (!allDrawn())
		result.unmeasured = "not every page showed a frame within 90 s";
	pump(kWarmUpMs);
	std::vector<pid_t> pids = marked("pages");
	pids.insert(pids.begin(), getpid());
	result.usage = measure(pids, [] { pump(5); });
	for (obs_sceneitem_t *item : items)
		obs_sceneitem_remove(item);
	sources.clear();
	obs_wait_for_destroy_queue();
	pump(1000);
	for (pid_t pid : marked("pages"))
		kill(pid, SIGKILL);
	unsetenv(kMarker);
	pump(1000);
	return result;
}

// A page's sound on OBS's clock over a long run: how far its timestamps part from OBS's clock, and how often a
// buffer does not start where the one before it ended (a gap or a repeat).
struct Drift {
	double seconds = 0.0;
	long buffers = 0;
	long breaks = 0;
	double driftMs = 0.0;  // (arrival - stamp) over the last window against the first, each the least in it
	double jitterMs = 0.0; // spread of (arrival - stamp) within the first window: what this way of measuring sees
	std::string unmeasured;
};

class SoundLog {
public:
	explicit SoundLog(obs_source_t *source) : source_(source)
	{
		obs_source_add_audio_capture_callback(source_, capture, this);
	}
	~SoundLog() { obs_source_remove_audio_capture_callback(source_, capture, this); }
	struct Buffer {
		uint64_t stamp, arrival;
		uint32_t frames;
	};
	std::vector<Buffer> take()
	{
		std::lock_guard<std::mutex> hold(lock_);
		return std::move(buffers_);
	}

private:
	// On the source's own thread, as the buffer is handed to libobs.
	static void capture(void *param, obs_source_t *, const audio_data *audio, bool)
	{
		auto *self = static_cast<SoundLog *>(param);
		std::lock_guard<std::mutex> hold(self->lock_);
		self->buffers_.push_back({audio->timestamp, os_gettime_ns(), audio->frames});
	}
	obs_source_t *source_;
	std::mutex lock_;
	std::vector<Buffer> buffers_;
};

Drift runDrift(HttpTestServer &server, obs_scene_t *scene, int seconds)
{
	Drift result;
	OBSDataAutoRelease settings = obs_data_create();
	obs_data_set_string(settings, "url", (server.url() + "/tone").toStdString().c_str());
	obs_data_set_int(settings, "width", 320);
	obs_data_set_int(settings, "height", 180);
	obs_data_set_bool(settings, "reroute_audio", true);
	OBSSourceAutoRelease source = obs_source_create("browser_source", "bench tone", settings, nullptr);
	obs_sceneitem_t *item = obs_scene_add(scene, source);
	std::vector<SoundLog::Buffer> buffers;
	{
		SoundLog log(source);
		const double started = nowSeconds();
		while (log.take().empty() && nowSeconds() - started < 60)
			pump(20);
		pump(kWarmUpMs);
		log.take();
		const double from = nowSeconds();
		while (nowSeconds() - from < seconds)
			pump(50);
		buffers = log.take();
		result.seconds = nowSeconds() - from;
	}
	obs_sceneitem_remove(item);
	source = nullptr;
	obs_wait_for_destroy_queue();
	const uint32_t rate = audio_output_get_sample_rate(obs_get_audio());
	if (buffers.size() < 100) {
		result.unmeasured = "the tone page's sound did not reach the source";
		return result;
	}
	result.buffers = long(buffers.size());
	for (size_t i = 1; i < buffers.size(); ++i) {
		const uint64_t expected = buffers[i - 1].stamp + uint64_t(buffers[i - 1].frames) * 1000000000ULL / rate;
		const int64_t off = int64_t(buffers[i].stamp) - int64_t(expected);
		if (off > 100000 || off < -100000) // more than about 5 samples either way
			++result.breaks;
	}
	// Scheduling delays only add to the arrival: the least offset of a window is the clock's own.
	const auto window = [&](size_t first, size_t last, double &spreadMs) {
		int64_t least = INT64_MAX, most = INT64_MIN;
		for (size_t i = first; i < last; ++i) {
			const int64_t offset = int64_t(buffers[i].arrival) - int64_t(buffers[i].stamp);
			least = std::min(least, offset);
			most = std::max(most, offset);
		}
		spreadMs = double(most - least) / 1e6;
		return least;
	};
	const size_t span = std::max<size_t>(buffers.size() / 20, 50);
	double lastSpread = 0.0;
	const int64_t first = window(0, span, result.jitterMs);
	const int64_t last = window(buffers.size() - span, buffers.size(), lastSpread);
	result.driftMs = double(last - first) / 1e6;
	return result;
}

std::string cpuModel()
{
	std::istringstream info(readFile("/proc/cpuinfo"));
	std::string line;
	while (std::getline(info, line))
		if (line.rfind("model name", 0) == 0)
			return line.substr(line.find(':') + 2);
	return "unknown CPU";
}

} // namespace

int main(int argc, char **argv)
{
	QCoreApplication app(argc, argv);
	const std::string resultsPath = argc > 1 ? argv[1] : LORVALEN_PAGE_BENCH_RESULTS;
	const std::string loadBefore = readFile("/proc/loadavg");
	obs_session::start();
	obs_module_t *module = nullptr;
	const obs_audio_info audio = {48000, SPEAKERS_STEREO};
	if (!obs_session::resetVideo(1920, 1080) || !obs_reset_audio(&audio) ||
	    obs_open_module(&module, LORVALEN_PAGE_SOURCE_PATH, nullptr) != MODULE_SUCCESS ||
	    !obs_init_module(module)) {
		fprintf(stderr, "libobs or the page source module did not start\n");
		return 1;
	}
	obs_post_load_modules();
	if (!obs_source_get_display_name("browser_source")) {
		fprintf(stderr, "the page source did not register browser_source\n");
		return 1;
	}
	// OBS's image_source, a floor: from the plug-in folder beside the libobs in use.
	Dl_info libobs = {};
	obs_module_t *images = nullptr;
	if (dladdr(reinterpret_cast<void *>(&obs_startup), &libobs) && libobs.dli_fname) {
		const std::string dir = QFileInfo(libobs.dli_fname).absolutePath().toStdString();
		if (obs_open_module(&images, (dir + "/obs-plugins/image-source.so").c_str(), nullptr) == MODULE_SUCCESS)
			obs_init_module(images);
	}
	const char *driftSetting = getenv("LORVALEN_PAGE_BENCH_DRIFT_SECONDS");
	const int driftSeconds = driftSetting ? atoi(driftSetting) : 600;
	HttpTestServer server;
	HttpAnswer page;
	page.headers = {{"Content-Type", "text/html"}};
	page.body = kPage;
	server.serve("/page", page);
	page.body = kStillPage;
	server.serve("/still", page);
	page.body = kTonePage;
	server.serve("/tone", page);
	OBSSceneAutoRelease scene = obs_scene_create("bench");
	obs_set_output_source(0, obs_scene_get_source(scene));

	std::vector<Result> results;
	for (auto size : {std::pair<uint32_t, uint32_t>{1280, 720}, {1920, 1080}}) {
		fprintf(stderr, "%ux%u...\n", size.first, size.second);
		results.push_back(run(server, scene, size.first, size.second));
	}
	std::vector<Pages> perCount;
	for (int count : {0, 1, 2, 4}) {
		fprintf(stderr, "%d pages at 1280x720...\n", count);
		perCount.push_back(runPages(server, scene, count));
	}
	fprintf(stderr, "sound over %d s...\n", driftSeconds);
	const Drift drift = runDrift(server, scene, driftSeconds);
	obs_set_output_source(0, nullptr);

	std::ostringstream table;
	char line[1024];
	table << "### Page source benchmark\n\n`lorvalen-page-bench`: " << cpuModel() << ", "
	      << std::thread::hardware_concurrency() << " cores, load average before " << loadBefore.substr(0, 14)
	      << "; libobs " << obs_get_version_string() << " on a 1920x1080 canvas at 30 fps, the source shown in it; "
	      << "window " << kWindowMs / 1000 << " s after " << kWarmUpMs / 1000 << " s of warm-up. CPU in % of one "
	      << "core: this process (libobs) plus the page helper and WebKit's processes; libobs alone: an empty "
	      << "canvas; a still page: the source drawn at every frame with no new frame to upload; hidden: the scene "
	      << "item hidden, against the same processes shown; floor: `gst-launch-1.0 "
	      << "wpesrc ! video/x-raw,format=BGRA,... ! queue ! fakesink sync=true` with its WebKit processes, same "
	      << "page and caps.\n\n";
	table << "| Size @ 30 fps | Creation → first frame ms | Frames/s delivered | Rate ratio | Target | CPU % (libobs "
		 "process + helper + WebKit) | of which helper + WebKit | Floor CPU % | CPU ratio | Target | "
		 "Helper + WebKit / floor | Target | Hidden: helper + WebKit CPU % | Hidden / shown | Target | libobs alone "
		 "CPU % | libobs drawing a still page CPU % | Floor: libobs drawing an image_source CPU % | Still page / "
		 "image | Target | RSS MiB | Floor RSS MiB | Helper processes |\n";
	table << "|---|---:|---:|---:|---|---:|---:|---:|---:|---|---:|---|---:|---:|---|---:|---:|---:|---:|---|---:|---:|---:|"
		 "\n";
	std::vector<std::string> unmeasured;
	for (const Result &r : results) {
		if (!r.unmeasured.empty()) {
			// No ratio to a floor or figure that is not there.
			std::string why;
			for (const std::string &reason : r.unmeasured) {
				why += (why.empty() ? "" : "; ") + reason;
				unmeasured.push_back(std::to_string(r.width) + "x" + std::to_string(r.height) + ": " +
						     reason);
			}
			table << "| " << r.width << "x" << r.height << " | not measured: " << why
			      << " | | | | | | | | | | | | | | | | | | | | | |\n";
			continue;
		}
		const double rate = r.framesPerSecond / 30.0;
		const double floorCpu = r.floor.cpuPercent;
		const double pages = r.source.cpuPercent - r.source.ownCpuPercent;
		const double cpu = r.source.cpuPercent / floorCpu;
		const double hidden = r.hiddenCpuPercent / pages;
		const double helper = pages / floorCpu;
		const double drawing = r.stillCpuPercent / r.imageCpuPercent;
		snprintf(
			line, sizeof line,
			"| %ux%u | %.0f | %.1f | %.3f× | ≥ 0.95× %s | %.0f | %.0f | %.0f | %.2f× | ≤ 1.3× %s | %.2f× | "
			"≤ 1.05× %s | %.1f | %.3f× | ≤ 0.1× %s | %.0f | %.0f | %.0f | %.2f× | ≤ 1.05× %s | %.0f | %.0f | "
			"%d |\n",
			r.width, r.height, r.firstFrameMs, r.framesPerSecond, rate, rate >= 0.95 ? "met" : "missed",
			r.source.cpuPercent, pages, r.floor.cpuPercent, cpu, cpu <= 1.3 ? "met" : "missed", helper,
			helper <= 1.05 ? "met" : "missed", r.hiddenCpuPercent, hidden, hidden <= 0.1 ? "met" : "missed",
			r.idleCpuPercent, r.stillCpuPercent, r.imageCpuPercent, drawing,
			drawing <= 1.05 ? "met" : "missed", r.source.rssMiB, r.floor.rssMiB, r.processes);
		table << line;
	}

	// What each page adds, for planning a machine: against the same process showing no page, beside the floor.
	const Result &hd = results.front();
	table << "\n| Pages at 1280x720 @ 30 fps | CPU % (all processes) | Added CPU % per page | PSS MiB | Added PSS "
		 "MiB per page | Floor: one bare wpesrc CPU % | Floor PSS MiB | Per page / floor CPU |\n"
	      << "|---:|---:|---:|---:|---:|---:|---:|---:|\n";
	for (const Pages &p : perCount) {
		if (!p.unmeasured.empty() || !hd.unmeasured.empty()) {
			const std::string why = !p.unmeasured.empty() ? p.unmeasured
								      : "the 1280x720 floor was not measured";
			unmeasured.push_back(std::to_string(p.count) + " pages: " + why);
			table << "| " << p.count << " | not measured: " << why << " | | | | | | |\n";
			continue;
		}
		if (p.count == 0) {
			snprintf(line, sizeof line, "| 0 (libobs alone) | %.0f | | %.0f | | %.0f | %.0f | |\n",
				 p.usage.cpuPercent, p.usage.pssMiB, hd.floor.cpuPercent, hd.floor.pssMiB);
		} else {
			const double cpu = (p.usage.cpuPercent - perCount.front().usage.cpuPercent) / p.count;
			const double pss = (p.usage.pssMiB - perCount.front().usage.pssMiB) / p.count;
			snprintf(line, sizeof line, "| %d | %.0f | %.0f | %.0f | %.0f | %.0f | %.0f | %.2f× |\n",
				 p.count, p.usage.cpuPercent, cpu, p.usage.pssMiB, pss, hd.floor.cpuPercent,
				 hd.floor.pssMiB, cpu / hd.floor.cpuPercent);
		}
		table << line;
	}
	// The sound over a long run. Its floor is the measurement's own: how much the arrival of buffers, stamped
	// one after another, varies within a window; a drift below it cannot be told from none.
	const double frameMs = 1000.0 / 30.0;
	table << "\n| Sound of a tone page, reroute_audio on | Seconds | Buffers | Gaps or repeats | Target | Drift "
		 "from OBS's clock ms | Target | Floor: arrival jitter ms |\n|---|---:|---:|---:|---|---:|---|---:|\n";
	if (!drift.unmeasured.empty()) {
		unmeasured.push_back("sound: " + drift.unmeasured);
		table << "| 320x180 @ 30 fps | not measured: " << drift.unmeasured << " | | | | | | |\n";
	} else {
		snprintf(line, sizeof line,
			 "| 320x180 @ 30 fps | %.0f | %ld | %ld | 0 %s | %.2f | < %.1f (one frame) %s | %.2f |\n",
			 drift.seconds, drift.buffers, drift.breaks, drift.breaks == 0 ? "met" : "missed",
			 drift.driftMs, frameMs, std::fabs(drift.driftMs) < frameMs ? "met" : "missed", drift.jitterMs);
		table << line;
	}
	std::ofstream(resultsPath) << table.str();
	printf("%s", table.str().c_str());
	obs_session::stop();
	for (const std::string &reason : unmeasured)
		fprintf(stderr, "not measured: %s\n", reason.c_str());
	return unmeasured.empty() ? 0 : 2;
}
