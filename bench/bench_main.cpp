// Times the plug-in's dialog, studio refresh and OK action beside the bare library doing the same work, prints the
// table and writes it to a Markdown file. A target met or missed is only reported; a figure or floor that could not
// be measured makes it exit with status 2, saying why.
//
// Usage: lorvalen-bench [--quick] [results.md]    (under xvfb-run, with QT_QPA_PLATFORM=offscreen)

#include "courses.hpp"
#include "table.hpp"

#include "support/browser_stand_in.hpp"
#include "support/frontend_stub.hpp"
#include "support/obs_session.hpp"

#include <obs-module.h>
#include <obs.h>

#include <QApplication>
#include <QDateTime>
#include <QFile>
#include <QGuiApplication>
#include <QSysInfo>

#include <cstdio>
#include <string>
#include <thread>

namespace {

// The load average over the last minute: other work on the machine makes every figure slower and noisier.
std::string loadAverage()
{
	QFile loadavg(QStringLiteral("/proc/loadavg"));
	if (!loadavg.open(QIODevice::ReadOnly))
		return "unknown";
	return loadavg.readAll().split(' ').value(0).toStdString();
}

std::string cpuModel()
{
	QFile cpuinfo(QStringLiteral("/proc/cpuinfo"));
	if (!cpuinfo.open(QIODevice::ReadOnly))
		return "unknown CPU";
	for (const QByteArray &line : cpuinfo.readAll().split('\n')) {
		if (line.startsWith("model name"))
			return line.mid(line.indexOf(':') + 1).trimmed().toStdString();
	}
	return "unknown CPU";
}

// How many times the decoding and filling of the largest list grew over ten times fewer studios; 10 is linear.
Row growthRow(const std::vector<Row> &small, const std::vector<Row> &large)
{
	Row row;
	row.what = "growth of decoding + filling, 10,000 → 100,000 studios (10× is linear)";
	row.studios = "×10";
	row.target = "≤ 13× (per-studio cost within 30 %)";
	const Row *before = nullptr;
	const Row *after = nullptr;
	for (const Row &r : small)
		if (r.what.rfind("decoding + filling", 0) == 0 && r.text.empty())
			before = &r;
	for (const Row &r : large)
		if (r.what.rfind("decoding + filling", 0) == 0 && r.text.empty())
			after = &r;
	if (!before || !after || before->measured.median() <= 0.0) {
		row.text = "not measured";
		return row;
	}
	const double growth = after->measured.median() / before->measured.median();
	const double floorGrowth = after->floor.median() / before->floor.median();
	char text[64];
	snprintf(text, sizeof text, "%.1f×", growth);
	row.text = text;
	snprintf(text, sizeof text, "floor grew %.1f×", floorGrowth);
	row.floorWhat = text;
	row.verdict = growth <= 13.0 ? Row::Verdict::Met : Row::Verdict::Missed;
	return row;
}

} // namespace

int main(int argc, char **argv)
{
	QApplication app(argc, argv);
	bool quick = false;
	std::string resultsPath = LORVALEN_BENCH_RESULTS;
	for (int i = 1; i < argc; ++i) {
		const std::string arg = argv[i];
		if (arg == "--quick")
			quick = true;
		else
			resultsPath = arg;
	}
	const int scale = quick ? 4 : 1;

	const std::string loadBefore = loadAverage();
	obs_session::start();
	// Registers the Tools-menu item with the stand-in front end, as OBS loading the module does.
	if (!obs_module_load()) {
		fprintf(stderr, "the module did not load\n");
		return 1;
	}

	std::vector<Row> rows;
	auto add = [&rows](const std::vector<Row> &more) {
		rows.insert(rows.end(), more.begin(), more.end());
	};
	fprintf(stderr, "dialog...\n");
	add(benchDialogShown(51 / scale));
	fprintf(stderr, "refresh of 1,000 studios...\n");
	add(benchRefresh(1000, 51 / scale));
	fprintf(stderr, "refresh of 10,000 studios...\n");
	const std::vector<Row> tenThousand = benchRefresh(10000, 31 / scale);
	add(tenThousand);
	fprintf(stderr, "refresh of 100,000 studios...\n");
	const std::vector<Row> hundredThousand = benchRefresh(100000, quick ? 3 : 11);
	add(hundredThousand);
	rows.push_back(growthRow(tenThousand, hundredThousand));

	// The canvas starts only now: OBS's render thread, with software OpenGL under Xvfb, would otherwise take
	// one of the two cores away from the widget timings above.
	fprintf(stderr, "apply...\n");
	obs_scene_t *scene = nullptr;
	if (obs_session::resetVideo(1920, 1080)) {
		registerBrowserStandIn();
		scene = obs_scene_create("Bench scene");
		frontend::setCurrentScene(obs_scene_get_source(scene));
		add(benchApply(scene, 201 / scale));
	} else {
		Row row;
		row.what = "OK's provisioning";
		row.text = "not measured: libobs video did not start";
		rows.push_back(row);
	}

	const std::vector<std::string> heading = {
		"### Benchmark",
		"",
		"`lorvalen-bench`, " + QDateTime::currentDateTime().toString(Qt::ISODate).toStdString() + ". " +
			cpuModel() + ", " + std::to_string(std::thread::hardware_concurrency()) + " cores; Qt " +
			qVersion() + " (" + QGuiApplication::platformName().toStdString() + "); libobs " +
			obs_get_version_string() + "; build type " +
			(std::string(LORVALEN_BENCH_BUILD_TYPE).empty() ? "none" : LORVALEN_BENCH_BUILD_TYPE) +
			"; load average " + loadBefore + " before, " + loadAverage() + " after.",
		"Each figure is over repeated runs after one warm-up run; its floor is measured in the same runs,",
		"interleaved with it. The apply rows use the tests' stand-in Browser Source type on a real 1920×1080",
		"canvas: the real one comes from OBS's browser plug-in and would add its own start-up. libobs hands a video",
		"source's new settings to its own video thread, so the update course times what OK costs OBS's UI thread.",
		"\"Shown\" is the first moment after the dialog's window has been exposed and painted.",
	};
	const std::string table = renderTable(heading, rows);

	if (scene) {
		frontend::setCurrentScene(nullptr);
		obs_scene_release(scene);
	}
	frontend::reset();
	obs_session::stop();

	fputs(table.c_str(), stdout);
	QFile out(QString::fromStdString(resultsPath));
	if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(table.data(), table.size()) < 0) {
		fprintf(stderr, "could not write %s\n", resultsPath.c_str());
		return 1;
	}
	fprintf(stderr, "written to %s\n", resultsPath.c_str());
	const std::vector<std::string> reasons = unmeasured(rows);
	for (const std::string &reason : reasons)
		fprintf(stderr, "not measured: %s\n", reason.c_str());
	return reasons.empty() ? 0 : 2;
}
