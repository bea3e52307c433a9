#include "courses.hpp"

#include "dialog/refresh.hpp"
#include "dialog/setup_dialog.hpp"
#include "directory/studio_directory.hpp"
#include "output/naming.hpp"
#include "output/program_source.hpp"
#include "support/frontend_stub.hpp"
#include "support/http_server.hpp"

#include <obs.hpp>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QEventLoop>
#include <QFormLayout>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QWindow>

#include <chrono>
#include <cstdio>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
	return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// "100,000"
std::string grouped(int n)
{
	std::string digits = std::to_string(n);
	for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
		digits.insert(static_cast<size_t>(at), ",");
	return digits;
}

// A studio list as a server sends it: ids and Portuguese names, about 45 bytes a studio.
QByteArray studioBody(int studios)
{
	QByteArray body;
	body.reserve(studios * 48 + 2);
	body += '[';
	for (int i = 0; i < studios; ++i) {
		const QByteArray number = QByteArray::number(i).rightJustified(6, '0');
		if (i)
			body += ',';
		body += "{\"id\":\"studio-" + number +
			"\",\"name\":\"Est\xc3\xba"
			"dio " +
			number + "\"}";
	}
	body += ']';
	return body;
}

// What a plain client does for the same answer: one GET on a manager of its own, the whole body read at the end.
// Empty after 10 s without an answer.
QByteArray bareGet(const QString &url)
{
	QNetworkAccessManager manager;
	QNetworkReply *reply = manager.get(QNetworkRequest(QUrl(url)));
	QEventLoop loop;
	QTimer timeout;
	timeout.setSingleShot(true);
	QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
	QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
	timeout.start(10000);
	loop.exec();
	const QByteArray body = reply->isFinished() ? reply->readAll() : QByteArray();
	delete reply;
	return body;
}

// The display texts and ids a refresh puts in the box, made ahead for the bare filling.
struct Items {
	QStringList texts;
	QStringList ids;
};

Items itemsOf(const StudioList &studios)
{
	Items items;
	for (const StudioEntry &studio : studios) {
		items.texts.append(studio.name + QStringLiteral("  (") + studio.id + QLatin1Char(')'));
		items.ids.append(studio.id);
	}
	return items;
}

void addItems(QComboBox *box, const Items &items)
{
	for (int i = 0; i < items.texts.size(); ++i)
		box->addItem(items.texts[i], items.ids[i]);
}

// Whether the two boxes hold the same items, with the same texts, ids, flags and current item.
bool sameItems(const QComboBox *a, const QComboBox *b)
{
	if (a->count() != b->count() || a->currentIndex() != b->currentIndex() || a->currentText() != b->currentText())
		return false;
	for (int i = 0; i < a->count(); ++i) {
		const QModelIndex x = a->model()->index(i, 0);
		const QModelIndex y = b->model()->index(i, 0);
		if (a->itemText(i) != b->itemText(i) || a->itemData(i, Qt::UserRole) != b->itemData(i, Qt::UserRole) ||
		    a->model()->flags(x) != b->model()->flags(y) || a->model()->itemData(x) != b->model()->itemData(y))
			return false;
	}
	return true;
}

// Delivers everything queued, painting included: the time a change takes to reach the screen.
void settle()
{
	QApplication::processEvents();
	QApplication::processEvents();
}

// Times from arm() until a dialog's window has been exposed and painted, then rejects that dialog. A dialog
// not exposed within 10 s is rejected all the same and the run counts as failed.
class ShownWatcher : public QObject {
public:
	ShownWatcher() { qApp->installEventFilter(this); }
	~ShownWatcher() override { qApp->removeEventFilter(this); }

	void arm()
	{
		fired_ = false;
		shownMs_ = -1.0;
		start_ = Clock::now();
		QTimer::singleShot(10000, this, [this]() {
			if (!fired_ && QApplication::activeModalWidget()) {
				fired_ = true;
				static_cast<QDialog *>(QApplication::activeModalWidget())->reject();
			}
		});
	}
	// Milliseconds from arm() to shown; negative when the dialog never showed.
	double shownMs() const { return shownMs_; }

protected:
	bool eventFilter(QObject *watched, QEvent *event) override
	{
		if (fired_ || event->type() != QEvent::Expose)
			return false;
		auto *window = qobject_cast<QWindow *>(watched);
		if (!window || !window->isExposed())
			return false;
		for (QWidget *widget : QApplication::topLevelWidgets()) {
			auto *dialog = qobject_cast<QDialog *>(widget);
			if (dialog && dialog->windowHandle() == window && dialog->isVisible()) {
				fired_ = true;
				// Exposing paints the window synchronously; what is queued behind this event runs after it.
				QPointer<QDialog> target(dialog);
				QTimer::singleShot(0, this, [this, target]() {
					shownMs_ = msSince(start_);
					if (target)
						target->reject();
				});
				break;
			}
		}
		return false;
	}

private:
	Clock::time_point start_;
	bool fired_ = false;
	double shownMs_ = -1.0;
};

// The same ten controls as the setup dialog, built with nothing of the plug-in's, over a list fetched and parsed
// with nothing of the plug-in's, then run modally.
void bareDialog(const QString &listUrl)
{
	const QJsonArray studios = QJsonDocument::fromJson(bareGet(listUrl)).array();
	QDialog dialog;
	dialog.setWindowTitle(QStringLiteral("Lorvalen PGM Source"));
	dialog.setMinimumWidth(520);
	auto *form = new QFormLayout(&dialog);
	auto *server = new QLineEdit(&dialog);
	server->setText(QStringLiteral("http://127.0.0.1:3000"));
	auto *studio = new QComboBox(&dialog);
	studio->setEditable(true);
	studio->setMinimumContentsLength(36);
	for (const auto &element : studios) {
		const QJsonObject object = element.toObject();
		const QString id = object.value(QLatin1String("id")).toString();
		studio->addItem(object.value(QLatin1String("name")).toString() + QStringLiteral("  (") + id +
					QLatin1Char(')'),
				id);
	}
	auto *status = new QLabel(&dialog);
	status->setWordWrap(true);
	status->setText(QStringLiteral("%1 estúdio(s) encontrado(s).").arg(qint64(studios.size())));
	auto *refresh = new QPushButton(QStringLiteral("Atualizar estúdios"), &dialog);
	auto *signal = new QComboBox(&dialog);
	signal->addItem(QStringLiteral("Programa horizontal (16:9)"), QStringLiteral("pgm"));
	signal->addItem(QStringLiteral("Programa vertical (9:16)"), QStringLiteral("vpgm"));
	QSpinBox *spins[3];
	const int ranges[3][3] = {{320, 3840, 1920}, {180, 2160, 1080}, {1, 120, 60}};
	for (int i = 0; i < 3; ++i) {
		spins[i] = new QSpinBox(&dialog);
		spins[i]->setRange(ranges[i][0], ranges[i][1]);
		spins[i]->setValue(ranges[i][2]);
	}
	auto *audio = new QCheckBox(QStringLiteral("Incluir áudio do programa"), &dialog);
	audio->setChecked(true);
	auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
	QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
	form->addRow(QStringLiteral("Servidor Lorvalen"), server);
	form->addRow(QStringLiteral("Estúdio"), studio);
	form->addRow(QString(), refresh);
	form->addRow(QString(), status);
	form->addRow(QStringLiteral("Sinal"), signal);
	form->addRow(QStringLiteral("Largura"), spins[0]);
	form->addRow(QStringLiteral("Altura"), spins[1]);
	form->addRow(QStringLiteral("FPS"), spins[2]);
	form->addRow(QString(), audio);
	form->addRow(buttons);
	dialog.exec();
}

void (*toolsMenuCallback(void **data))(void *)
{
	for (const frontend::MenuItem &item : frontend::menuItems()) {
		if (item.name == "Lorvalen PGM Source...") {
			*data = item.data;
			return item.callback;
		}
	}
	return nullptr;
}

// The settings the OK action writes, for the bare provisioning.
OBSData browserSettings(int fps)
{
	OBSDataAutoRelease settings = obs_data_create();
	obs_data_set_string(settings, "url", "http://127.0.0.1:3000/out/bench?src=pgm");
	obs_data_set_int(settings, "width", 1920);
	obs_data_set_int(settings, "height", 1080);
	obs_data_set_bool(settings, "fps_custom", true);
	obs_data_set_int(settings, "fps", fps);
	obs_data_set_bool(settings, "shutdown", false);
	obs_data_set_bool(settings, "restart_when_active", true);
	obs_data_set_bool(settings, "reroute_audio", true);
	obs_data_set_string(settings, "css", "html,body{background:transparent!important}");
	return settings.Get();
}

// Places the item where a fit of 1920 x 1080 on the canvas puts it, as the bare library would.
void bareFit(obs_sceneitem_t *item)
{
	obs_video_info video = {};
	obs_get_video_info(&video);
	vec2 position;
	vec2 scale;
	vec2_set(&position, 0.0f, 0.0f);
	vec2_set(&scale, static_cast<float>(video.base_width) / 1920.0f,
		 static_cast<float>(video.base_width) / 1920.0f);
	obs_sceneitem_set_pos(item, &position);
	obs_sceneitem_set_scale(item, &scale);
}

// Removes the source of that name from the scene and from OBS.
void removeSource(obs_scene_t *scene, const char *name)
{
	if (obs_sceneitem_t *item = obs_scene_find_source(scene, name))
		obs_sceneitem_remove(item);
	OBSSourceAutoRelease source = obs_get_source_by_name(name);
	if (source)
		obs_source_remove(source);
}

Row failed(const std::string &what, const std::string &studios, const std::string &why)
{
	Row row;
	row.what = what;
	row.studios = studios;
	row.text = "not measured: " + why;
	fprintf(stderr, "%s: %s\n", what.c_str(), why.c_str());
	return row;
}

} // namespace

std::vector<Row> benchDialogShown(int runs)
{
	const QByteArray body = studioBody(3);
	HttpTestServer server(3000);
	const bool viaMenu = server.isListening();
	std::unique_ptr<HttpTestServer> ownPort;
	if (!viaMenu)
		ownPort = std::make_unique<HttpTestServer>();
	HttpTestServer &listing = viaMenu ? server : *ownPort;
	listing.serve("/api/studios", HttpAnswer::json(body));

	void *data = nullptr;
	void (*callback)(void *) = toolsMenuCallback(&data);
	const std::string what =
		viaMenu ? "Tools-menu activation → dialog exposed and painted (default address, "
			  "server on 127.0.0.1:3000)"
			: "dialog built + first refresh against 127.0.0.1:" + std::to_string(listing.port()) +
				  " + exec → exposed and painted "
				  "(port 3000 was taken)";
	if (viaMenu && !callback)
		return {failed(what, "3", "the Tools-menu item was not registered")};

	ShownWatcher watcher;
	auto openOnce = [&]() {
		if (viaMenu) {
			callback(data);
			return;
		}
		QDialog dialog;
		const SetupControls c = buildSetupDialog(&dialog);
		c.serverEdit->setText(listing.url());
		refreshStudioList(c.serverEdit, c.studioCombo, c.statusLabel);
		dialog.exec();
	};
	const QString listUrl = listing.url() + QStringLiteral("/api/studios");

	Row row;
	row.what = what;
	row.studios = "3";
	row.floorWhat = "GET + `QJsonDocument` + the same ten widgets built by hand, `exec` → exposed and painted";
	row.target = "≤ 20 ms";
	const int requestsBefore = static_cast<int>(listing.targets().size());
	for (int run = -1; run < runs; ++run) { // run -1 warms up
		watcher.arm();
		openOnce();
		if (watcher.shownMs() < 0)
			return {failed(what, "3", "the dialog was not shown within 10 s")};
		if (run >= 0)
			row.measured.samples.push_back(watcher.shownMs());
		watcher.arm();
		bareDialog(listUrl);
		if (watcher.shownMs() < 0)
			return {failed(what, "3", "the bare dialog was not shown within 10 s")};
		if (run >= 0)
			row.floor.samples.push_back(watcher.shownMs());
	}
	// Each opening and each bare dialog asked once: nothing was skipped or answered from elsewhere.
	if (static_cast<int>(listing.targets().size()) - requestsBefore != 2 * (runs + 1))
		return {failed(what, "3", "the server did not see one request per opening")};
	row.verdict = row.measured.median() <= 20.0 ? Row::Verdict::Met : Row::Verdict::Missed;
	return {row};
}

std::vector<Row> benchRefresh(int studios, int runs)
{
	const std::string size = grouped(studios);
	const QByteArray body = studioBody(studios);
	// The same number of bytes once more, with a first byte that stops the decoder at once: fetched, it times the
	// fetch's HTTP alone.
	QByteArray unparsable = body;
	unparsable[0] = 'x';
	HttpTestServer server;
	server.serve("/api/studios", HttpAnswer::json(body));
	server.serve("/http-only/api/studios", HttpAnswer::json(unparsable));
	const QString url = server.url();
	const QString listUrl = url + QStringLiteral("/api/studios");

	Row http;
	http.what = "fetch, HTTP only (`fetchStudios` of a body as long that stops the decoder at its first byte)";
	http.floorWhat = "GET on a bare `QNetworkAccessManager`, `readAll`";
	Row fetch;
	fetch.what = "fetch with decoding (`fetchStudios`)";
	fetch.floorWhat = "bare GET + `QJsonDocument::fromJson`";
	Row decode;
	decode.what = "decoding (`decodeStudioList`)";
	decode.floorWhat = "`QJsonDocument::fromJson`";
	Row fill;
	fill.what = "filling the studio box, first refresh (`showStudioList`, dialog not yet shown)";
	fill.floorWhat = "`QComboBox::addItem` × N, texts made ahead";
	Row decodeFill;
	decodeFill.what = "decoding + filling, first refresh";
	decodeFill.floorWhat = "`fromJson` + `addItem` × N";
	Row again;
	again.what = "filling again, dialog on screen holding the list (`showStudioList` + repaint)";
	again.floorWhat = "`clear` + `addItem` × N + repaint, on-screen `QComboBox`";

	// The dialog and the plain box on screen for the second refresh, holding the list from the start.
	QDialog shown;
	const SetupControls onScreen = buildSetupDialog(&shown);
	QComboBox plainShown;
	Items items;
	{
		const StudioList list = decodeStudioList(body);
		items = itemsOf(list);
		showStudioList(onScreen.studioCombo, onScreen.statusLabel, list, QString());
		addItems(&plainShown, items);
	}
	shown.show();
	plainShown.show();
	settle();
	if (!sameItems(onScreen.studioCombo, &plainShown))
		return {failed(fill.what, size, "the refresh filled the box otherwise than addItem does")};

	for (int run = -1; run < runs; ++run) { // run -1 warms up
		QString errorText;
		auto start = Clock::now();
		const StudioList nothing = fetchStudios(url + QStringLiteral("/http-only"), &errorText);
		const double httpMs = msSince(start);
		if (!nothing.isEmpty() || !errorText.isEmpty())
			return {failed(http.what, size, "the fetch failed: " + errorText.toStdString())};

		start = Clock::now();
		const StudioList list = fetchStudios(url, &errorText);
		const double fetchMs = msSince(start);
		if (list.size() != studios)
			return {failed(fetch.what, size,
				       "the fetch returned " + std::to_string(list.size()) + " studios (" +
					       errorText.toStdString() + ")")};

		start = Clock::now();
		const StudioList decoded = decodeStudioList(body);
		const double decodeMs = msSince(start);
		if (decoded.size() != studios)
			return {failed(decode.what, size, "the decoding lost studios")};

		start = Clock::now();
		const QByteArray got = bareGet(listUrl);
		const double bareGetMs = msSince(start);
		if (got != body)
			return {failed(fetch.what, size, "the bare GET did not receive the body")};

		// The document goes within the time, as the decoding's own does.
		start = Clock::now();
		const qsizetype parsed = QJsonDocument::fromJson(body).array().size();
		const double parseMs = msSince(start);
		if (parsed != studios)
			return {failed(decode.what, size, "the bare parse lost studios")};

		double fillMs = 0;
		{
			QDialog dialog;
			const SetupControls c = buildSetupDialog(&dialog);
			start = Clock::now();
			showStudioList(c.studioCombo, c.statusLabel, decoded, QString());
			fillMs = msSince(start);
			if (c.studioCombo->count() != studios || c.studioCombo->currentIndex() != 0)
				return {failed(fill.what, size, "the box does not hold the list")};
		}

		double addMs = 0;
		{
			QComboBox box;
			start = Clock::now();
			addItems(&box, items);
			addMs = msSince(start);
			if (box.count() != studios)
				return {failed(fill.what, size, "the bare box does not hold the list")};
		}

		start = Clock::now();
		showStudioList(onScreen.studioCombo, onScreen.statusLabel, decoded, QString());
		settle();
		const double againMs = msSince(start);
		if (onScreen.studioCombo->count() != studios)
			return {failed(again.what, size, "the box on screen does not hold the list")};

		start = Clock::now();
		plainShown.clear();
		addItems(&plainShown, items);
		settle();
		const double plainAgainMs = msSince(start);

		if (run < 0)
			continue;
		http.measured.samples.push_back(httpMs);
		http.floor.samples.push_back(bareGetMs);
		fetch.measured.samples.push_back(fetchMs);
		fetch.floor.samples.push_back(bareGetMs + parseMs);
		decode.measured.samples.push_back(decodeMs);
		decode.floor.samples.push_back(parseMs);
		fill.measured.samples.push_back(fillMs);
		fill.floor.samples.push_back(addMs);
		decodeFill.measured.samples.push_back(decodeMs + fillMs);
		decodeFill.floor.samples.push_back(parseMs + addMs);
		again.measured.samples.push_back(againMs);
		again.floor.samples.push_back(plainAgainMs);
	}
	if (studios == 10000) {
		decodeFill.target = "≤ 16 ms";
		decodeFill.verdict = decodeFill.measured.median() <= 16.0 ? Row::Verdict::Met : Row::Verdict::Missed;
	}
	std::vector<Row> rows = {http, fetch, decode, fill, decodeFill, again};
	for (Row &row : rows)
		row.studios = size;
	return rows;
}

std::vector<Row> benchApply(obs_scene_t *scene, int runs)
{
	const QString server = QStringLiteral("http://127.0.0.1:3000");
	Row create;
	create.what = "OK's provisioning, create course (`createOrUpdateProgramSource`)";
	create.floorWhat = "`obs_data` settings + `obs_source_create` + `obs_scene_add` + position and scale";
	create.target = "≤ 2 ms";
	Row update;
	update.what = "OK's provisioning, update course (`createOrUpdateProgramSource`)";
	update.floorWhat = "`obs_get_source_by_name` + `obs_source_update` + `obs_scene_find_source` + position "
			   "and scale";
	update.target = "≤ 2 ms";

	const QString updatedId = QStringLiteral("bench-update");
	const QByteArray updatedName = buildSourceName(updatedId, QStringLiteral("pgm")).toUtf8();
	QString errorText;
	if (!createOrUpdateProgramSource(server, updatedId, QStringLiteral("pgm"), 1920, 1080, 60, true, &errorText))
		return {failed(create.what, "", errorText.toStdString())};
	{
		OBSDataAutoRelease settings = browserSettings(60);
		OBSSourceAutoRelease source =
			obs_source_create("browser_source", "bench floor update", settings, nullptr);
		if (!source)
			return {failed(update.what, "", "the bare source could not be created")};
		obs_scene_add(scene, source);
	}

	for (int run = -1; run < runs; ++run) { // run -1 warms up
		const QString id = QStringLiteral("bench-create-%1").arg(run + 1);
		const QByteArray name = buildSourceName(id, QStringLiteral("pgm")).toUtf8();
		auto start = Clock::now();
		const bool created = createOrUpdateProgramSource(server, id, QStringLiteral("pgm"), 1920, 1080, 60,
								 true, &errorText);
		const double createMs = msSince(start);
		if (!created || !obs_scene_find_source(scene, name.constData()))
			return {failed(create.what, "", "the source was not created in the scene")};
		removeSource(scene, name.constData());

		const QByteArray floorName = "bench floor " + QByteArray::number(run + 1);
		start = Clock::now();
		{
			OBSDataAutoRelease settings = browserSettings(60);
			OBSSourceAutoRelease source =
				obs_source_create("browser_source", floorName.constData(), settings, nullptr);
			if (obs_sceneitem_t *item = obs_scene_add(scene, source))
				bareFit(item);
			obs_source_set_audio_active(source, true);
		}
		const double bareCreateMs = msSince(start);
		if (!obs_scene_find_source(scene, floorName.constData()))
			return {failed(create.what, "", "the bare source was not created in the scene")};
		removeSource(scene, floorName.constData());

		// Alternating frame rates, so that every update changes the settings.
		const int fps = run % 2 ? 30 : 60;
		start = Clock::now();
		const bool updated = createOrUpdateProgramSource(server, updatedId, QStringLiteral("pgm"), 1920, 1080,
								 fps, true, &errorText);
		const double updateMs = msSince(start);
		{
			OBSSourceAutoRelease source = obs_get_source_by_name(updatedName.constData());
			OBSDataAutoRelease settings = source ? obs_source_get_settings(source) : nullptr;
			if (!updated || !settings || obs_data_get_int(settings, "fps") != fps)
				return {failed(update.what, "", "the source was not updated")};
		}

		start = Clock::now();
		{
			OBSSourceAutoRelease source = obs_get_source_by_name("bench floor update");
			OBSDataAutoRelease settings = browserSettings(fps);
			obs_source_update(source, settings);
			if (obs_sceneitem_t *item = obs_scene_find_source(scene, "bench floor update"))
				bareFit(item);
			obs_source_set_audio_active(source, true);
		}
		const double bareUpdateMs = msSince(start);

		if (run < 0)
			continue;
		create.measured.samples.push_back(createMs);
		create.floor.samples.push_back(bareCreateMs);
		update.measured.samples.push_back(updateMs);
		update.floor.samples.push_back(bareUpdateMs);
	}
	removeSource(scene, updatedName.constData());
	removeSource(scene, "bench floor update");

	for (Row *row : {&create, &update})
		row->verdict = row->measured.median() <= 2.0 ? Row::Verdict::Met : Row::Verdict::Missed;
	return {create, update};
}
