// Broken and hostile studio servers, met through the real dialog's refresh button over real HTTP on 127.0.0.1.
// Whatever the server does, the refresh ends with the right status text, the connection is gone, and the dialog
// carries on: OK still warns or provisions, and a refresh against a sound server lists its studio. Every case
// leaves libobs as it found it.
#include "dialog/setup_dialog.hpp"
#include "support/browser_stand_in.hpp"
#include "support/frontend_stub.hpp"
#include "support/http_server.hpp"
#include "support/message_box_reader.hpp"
#include "support/modal_driver.hpp"
#include "support/obs_allocs.hpp"
#include "support/obs_probe.hpp"
#include "support/obs_session.hpp"
#include "support/qt_print.hpp"

#include <gtest/gtest.h>
#include <obs.hpp>

#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

// AddressSanitizer keeps freed blocks resident for a while (its quarantine), so there resident memory counts what
// was ever allocated, not what is held: the memory bound is checked in the plain builds only.
#if defined(__SANITIZE_ADDRESS__)
#define LORVALEN_RESIDENT_MEMORY_MEANINGFUL 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LORVALEN_RESIDENT_MEMORY_MEANINGFUL 0
#endif
#endif
#ifndef LORVALEN_RESIDENT_MEMORY_MEANINGFUL
#define LORVALEN_RESIDENT_MEMORY_MEANINGFUL 1
#endif

namespace {

const QString kNoStudios = QStringLiteral("Nenhum estúdio encontrado. Abra o Lorvalen ou cole o ID abaixo.");
const QString kFailure = QStringLiteral("Não foi possível consultar o Lorvalen: ");
const QString kNoId = QStringLiteral("Escolha um estúdio ou cole o ID.");

// The sound server every case returns to.
const QByteArray kGoodList = R"([{"id":"bom","name":"Bom"}])";
const QString kGoodName = QStringLiteral("Lorvalen PGM \u2014 bom");

// A list that would give two studios if it were read whole: a case that must not list them fails visibly.
const QByteArray kTwoStudios = R"([{"id":"a1","name":"Estúdio A"},{"id":"b2","name":"Estúdio B"}])";

constexpr qint64 kCap = 32 * 1024 * 1024;

quint16 closedPort()
{
	QTcpServer probe;
	if (!probe.listen(QHostAddress::LocalHost))
		return 0;
	return probe.serverPort();
}

// This process's resident memory in KiB as /proc/self/status gives it: "VmRSS" now, "VmHWM" its peak.
long residentKb(const QByteArray &field)
{
	QFile status(QStringLiteral("/proc/self/status"));
	if (!status.open(QIODevice::ReadOnly))
		return -1;
	for (const QByteArray &line : status.readAll().split('\n'))
		if (line.startsWith(field + ':'))
			return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLong();
	return -1;
}

// Starts a new peak: VmHWM falls back to the resident memory of the moment.
bool resetPeakMemory()
{
	QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
	return clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1;
}

// Selects the field's text and types the address over it, as the user does.
void typeAddress(QLineEdit *field, const QString &address)
{
	field->setFocus();
	QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
	QTest::keyClicks(field, address);
}

// What one case serves: `answer` for the studio list, and other targets beside it. `refused` points the dialog at
// a port where nothing listens instead.
struct Hostile {
	const char *behaviour;
	HttpAnswer answer;
	std::vector<std::pair<QByteArray, HttpAnswer>> others = {};
	bool refused = false;
};

// What the user sees after the refresh against the hostile server.
struct Listed {
	QString status;
	int count = 0;
	QString currentText;
	QString firstId, lastId;
	QString firstText;
};

// What the dialog did afterwards.
struct Afterwards {
	std::optional<SeenMessageBox> warning; // OK right after a refresh that listed nothing
	bool openAfterWarning = false;
	QString goodStatus;
	QStringList goodItems;
	std::optional<SeenMessageBox> confirmation;
	int result = -1;
	bool connectionsClosed = false;
	int connectionsAccepted = 0;
	QList<QByteArray> targets;
	qint64 refreshMs = 0;
	// How far the process's resident memory rose above its level before the refresh; -1 when unknown.
	long peakGrowthKb = -1;
};

class HostileServer : public ::testing::Test {
protected:
	static void SetUpTestSuite() { ASSERT_TRUE(obs_session::prepareForBrowserSources()); }

	void SetUp() override
	{
		ASSERT_TRUE(good.isListening());
		good.serve("/api/studios", HttpAnswer::json(kGoodList));
	}

	// One whole dialog run against the hostile server, then back to the sound one; libobs is checked per case.
	void run(const Hostile &hostile, Listed &listed, Afterwards &after)
	{
		const long baseline = obs_allocs::now();
		{
			HttpTestServer server;
			ASSERT_TRUE(server.isListening());
			server.serve("/api/studios", hostile.answer);
			for (const auto &other : hostile.others)
				server.serve(other.first, other.second);
			const quint16 nowhere = closedPort();
			ASSERT_NE(nowhere, 0);
			const QString address = hostile.refused ? QStringLiteral("http://127.0.0.1:%1").arg(nowhere)
								: server.url();

			TestScene scene = obs_scene_create("current");
			frontend::setCurrentScene(obs_scene_get_source(scene));
			QDialog dialog;
			const SetupControls c = buildSetupDialog(&dialog);
			QAbstractButton *ok = c.buttonBox->button(QDialogButtonBox::Ok);

			onNextModal([&](QWidget *) {
				typeAddress(c.serverEdit, address);
				const bool peakReset = resetPeakMemory();
				const long residentBefore = residentKb("VmRSS");
				QElapsedTimer clock;
				clock.start();
				QTest::mouseClick(c.refreshButton, Qt::LeftButton);
				after.refreshMs = clock.elapsed();
				const long peak = residentKb("VmHWM");
				// The kernel syncs its per-thread counters lazily, so the peak can read a few KiB
				// below the level taken just after resetting it: that is no growth, not a failure.
				if (peakReset && residentBefore >= 0 && peak >= 0)
					after.peakGrowthKb = std::max(0L, peak - residentBefore);
				listed.status = c.statusLabel->text();
				listed.count = c.studioCombo->count();
				listed.currentText = c.studioCombo->currentText();
				if (listed.count > 0) {
					listed.firstId = c.studioCombo->itemData(0, Qt::UserRole).toString();
					listed.lastId =
						c.studioCombo->itemData(listed.count - 1, Qt::UserRole).toString();
					listed.firstText = c.studioCombo->itemText(0);
				}
				// The fetch's connection went with the fetch, whether the server had finished or not.
				after.connectionsClosed =
					HttpTestServer::waitUntil([&]() { return server.openConnections() == 0; });
				after.connectionsAccepted = server.connectionsAccepted();
				after.targets = server.targets();

				if (listed.count == 0) {
					after.warning = clickAndReadMessageBox(ok, &dialog);
					after.openAfterWarning = dialog.isVisible();
				}
				typeAddress(c.serverEdit, good.url());
				QTest::mouseClick(c.refreshButton, Qt::LeftButton);
				after.goodStatus = c.statusLabel->text();
				for (int i = 0; i < c.studioCombo->count(); ++i)
					after.goodItems << c.studioCombo->itemText(i);
				after.confirmation = clickAndReadMessageBox(ok, &dialog);
				if (dialog.isVisible())
					dialog.reject();
			});
			after.result = dialog.exec();

			OBSSourceAutoRelease source = obs_get_source_by_name(kGoodName.toUtf8().constData());
			EXPECT_TRUE(source) << "OK after the sound refresh provisioned nothing";
			if (source) {
				OBSDataAutoRelease settings = obs_source_get_settings(source);
				EXPECT_EQ(QString::fromUtf8(obs_data_get_string(settings, "url")),
					  good.url() + QStringLiteral("/out/bom?src=pgm"));
				EXPECT_EQ(topLevelItems(scene, source).size(), 1u);
			}
		}
		frontend::setCurrentScene(nullptr);
		EXPECT_EQ(obs_allocs::settledAt(baseline), baseline) << "libobs objects left behind";
	}

	// The part every case shares: the dialog was still usable after the hostile refresh.
	static void expectUsableAfterwards(const Listed &listed, const Afterwards &after)
	{
		EXPECT_TRUE(after.connectionsClosed) << "a connection to the hostile server was left open";
		if (listed.count == 0) {
			ASSERT_TRUE(after.warning.has_value()) << "OK brought up no box";
			EXPECT_EQ(after.warning->icon, QMessageBox::Warning);
			EXPECT_EQ(after.warning->text, kNoId);
			EXPECT_TRUE(after.openAfterWarning);
		} else {
			EXPECT_FALSE(after.warning.has_value());
		}
		EXPECT_EQ(after.goodStatus, "1 estúdio(s) encontrado(s).");
		EXPECT_EQ(after.goodItems, (QStringList{"Bom  (bom)"}));
		ASSERT_TRUE(after.confirmation.has_value()) << "OK after the sound refresh brought up no box";
		EXPECT_EQ(after.confirmation->icon, QMessageBox::Information);
		EXPECT_EQ(after.confirmation->text,
			  QStringLiteral("Fonte \"%1\" criada/atualizada no scene atual.").arg(kGoodName));
		EXPECT_EQ(after.result, QDialog::Accepted);
	}

	// The body is held up to the cap and no further: whatever the server sends, the refresh costs OBS no more
	// memory than that, with room for the reply's own buffers.
	static void expectHeldNoMoreThanTheCap(const Afterwards &after)
	{
		if (!LORVALEN_RESIDENT_MEMORY_MEANINGFUL)
			return;
		if (after.peakGrowthKb < 0) {
			ADD_FAILURE()
				<< "resident memory could not be measured (/proc/self/clear_refs, /proc/self/status)";
			return;
		}
		EXPECT_LT(after.peakGrowthKb, 3 * kCap / 1024) << "KiB more than before the refresh, at the peak";
	}

	HttpTestServer good;
};

HttpAnswer cutShort(const QByteArray &body, HttpAnswer::Ending ending)
{
	HttpAnswer answer = HttpAnswer::json(body);
	answer.ending = ending;
	answer.endAfter = body.size() / 2;
	return answer;
}

TEST_F(HostileServer, failuresAreQuotedInTheStatusAndTheDialogCarriesOn)
{
	struct Row {
		Hostile hostile;
		QString networkText; // what the status quotes after kFailure
		bool exact;
		bool heldNoMoreThanTheCap = false;
	};
	const std::vector<Row> rows = {
		{{"connection refused", HttpAnswer::json(kTwoStudios), {}, true}, "Connection refused", true},
		{{"an HTTP 500 with a valid list in its body", HttpAnswer::json(kTwoStudios, 500, "Pane no Servidor")},
		 "server replied: Pane no Servidor",
		 false},
		{{"the connection reset half-way through the body", cutShort(kTwoStudios, HttpAnswer::Ending::Reset)},
		 "Connection closed",
		 true},
		// A valid list with one byte too many for the cap: read whole, it would list a studio.
		{{"a body one byte over the size cap", HttpAnswer::padded(R"([{"id":"grande"})", kCap + 1, "]")},
		 "resposta do servidor maior que 32 MiB",
		 true,
		 true},
	};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.hostile.behaviour);
		Listed listed;
		Afterwards after;
		run(row.hostile, listed, after);
		if (row.exact) {
			EXPECT_EQ(listed.status, kFailure + row.networkText);
		} else {
			EXPECT_TRUE(listed.status.startsWith(kFailure)) << listed.status.toStdString();
			EXPECT_TRUE(listed.status.endsWith(row.networkText)) << listed.status.toStdString();
		}
		EXPECT_EQ(listed.count, 0);
		EXPECT_EQ(listed.currentText, "");
		if (row.heldNoMoreThanTheCap)
			expectHeldNoMoreThanTheCap(after);
		expectUsableAfterwards(listed, after);
	}
}

// A small compressed answer that would inflate to 256 MiB: the fetch asks for an uncompressed body, so nothing
// inflates it and what is held stays the few hundred KiB that crossed the wire.
TEST_F(HostileServer, aCompressedAnswerThatWouldInflateFarBeyondTheCapIsNeverInflated)
{
	QByteArray plain;
	plain.reserve(256 * 1024 * 1024 + 16);
	plain += R"([{"id":"bomba"})";
	plain += QByteArray(256 * 1024 * 1024, ' ');
	plain += "]";
	HttpAnswer bomb = HttpAnswer::json(qCompress(plain, 9).mid(4)); // a zlib stream, without Qt's own prefix
	plain = QByteArray();
	bomb.headers.append(qMakePair(QByteArray("Content-Encoding"), QByteArray("deflate")));
	ASSERT_LT(bomb.body.size(), 1024 * 1024);

	Listed listed;
	Afterwards after;
	run(Hostile{"256 MiB deflated into a few hundred KiB", bomb}, listed, after);
	EXPECT_EQ(listed.status, kNoStudios);
	EXPECT_EQ(listed.count, 0);
	expectHeldNoMoreThanTheCap(after);
	expectUsableAfterwards(listed, after);
}

TEST_F(HostileServer, answersThatAreNoStudioListShowTheNoStudioTextAndTheDialogCarriesOn)
{
	// The first element would be a studio if the document could be read.
	const QByteArray deepArrays =
		R"({"studios":[{"id":"raso"},)" + QByteArray(100000, '[') + QByteArray(100000, ']') + "]}";
	QByteArray deepObjects = R"([{"id":"raso"},)";
	for (int i = 0; i < 100000; ++i)
		deepObjects += R"({"id":"fundo","x":)";
	deepObjects += "null" + QByteArray(100000, '}') + "]";
	// Bytes that are no UTF-8 at all, cut sequences, an encoded surrogate and an overlong slash, in ids and names
	// beside a clean studio. Such a body is not JSON text, so none of it is listed.
	const QByteArray badUtf8 = "[{\"id\":\"a\xff\xfe\",\"name\":\"Est\xc3\"},"
				   "{\"id\":\"s-\xed\xa0\x80\",\"name\":\"\xc0\xaf\"},"
				   "{\"id\":\"limpo\",\"name\":\"\xf8\x88\x80\x80\x80\"},"
				   "{\"id\":\"ok\",\"name\":\"Ok\"}]";
	const std::vector<Hostile> rows = {
		{"arrays nested 100,000 levels deep", HttpAnswer::json(deepArrays)},
		{"objects nested 100,000 levels deep", HttpAnswer::json(deepObjects)},
		{"invalid UTF-8 in ids and names", HttpAnswer::json(badUtf8)},
	};
	for (const Hostile &row : rows) {
		SCOPED_TRACE(row.behaviour);
		Listed listed;
		Afterwards after;
		run(row, listed, after);
		EXPECT_EQ(listed.status, kNoStudios);
		EXPECT_EQ(listed.count, 0);
		EXPECT_EQ(listed.currentText, "");
		EXPECT_EQ(after.connectionsAccepted, 1);
		expectUsableAfterwards(listed, after);
	}
}

TEST_F(HostileServer, anAnswerThatTricklesForEverEndsAtTheTimeLimitWithTheNoStudioText)
{
	// One byte every 5 ms and never an end: only the time limit ends the wait, and what has come by then is
	// an incomplete list.
	const Hostile row{"one byte at a time, without end",
			  HttpAnswer::trickle(R"([{"id":"tarde","name":"T"})", 1, 5)};
	Listed listed;
	Afterwards after;
	run(row, listed, after);
	EXPECT_EQ(listed.status, kNoStudios);
	EXPECT_EQ(listed.count, 0);
	EXPECT_GE(after.refreshMs, 2000);
	EXPECT_LE(after.refreshMs, 10000);
	expectUsableAfterwards(listed, after);
}

TEST_F(HostileServer, oddButValidListsAreListedAndTheDialogCarriesOn)
{
	// Written into one buffer: built piece by piece, the body alone would cost seconds under the sanitizers.
	QByteArray many = R"({"studios":[)";
	many.reserve(4 * 1024 * 1024);
	for (int i = 0; i < 100000; ++i) {
		char studio[64];
		const int n = std::snprintf(studio, sizeof studio, "%s{\"id\":\"e%d\",\"name\":\"Estúdio %d\"}",
					    i ? "," : "", i, i);
		many.append(studio, n);
	}
	many += "]}";
	const QByteArray everyType =
		R"(["texto", 7, -1.5e300, 0, true, false, null, [], [{"id":"dentro"}], {}, {"id":"certo","name":"Certo"}, "fim"])";

	HttpAnswer moved = HttpAnswer::redirect("/v2/api/studios");
	moved.body = R"([{"id":"errado"}])"; // the redirect's own body is never read as the list
	HttpAnswer movedForGood = HttpAnswer::redirect("/v3/api/studios", 308);
	movedForGood.reason = "Permanent Redirect";

	struct Row {
		Hostile hostile;
		int count;
		QString firstId, lastId, firstText;
		QList<QByteArray> targets;
	};
	const std::vector<Row> rows = {
		{{"a redirect to another path that answers",
		  moved,
		  {{"/v2/api/studios", HttpAnswer::json(kTwoStudios)}}},
		 2,
		 "a1",
		 "b2",
		 "Estúdio A  (a1)",
		 {"/api/studios", "/v2/api/studios"}},
		{{"a permanent redirect to another path that answers",
		  movedForGood,
		  {{"/v3/api/studios", HttpAnswer::json(kTwoStudios)}}},
		 2,
		 "a1",
		 "b2",
		 "Estúdio A  (a1)",
		 {"/api/studios", "/v3/api/studios"}},
		{{"100,000 studios", HttpAnswer::json(many)},
		 100000,
		 "e0",
		 "e99999",
		 "Estúdio 0  (e0)",
		 {"/api/studios"}},
		{{"elements of every non-object type around one studio", HttpAnswer::json(everyType)},
		 1,
		 "certo",
		 "certo",
		 "Certo  (certo)",
		 {"/api/studios"}},
	};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.hostile.behaviour);
		Listed listed;
		Afterwards after;
		run(row.hostile, listed, after);
		EXPECT_EQ(listed.status, QStringLiteral("%1 estúdio(s) encontrado(s).").arg(row.count));
		EXPECT_EQ(listed.count, row.count);
		EXPECT_EQ(listed.firstId, row.firstId);
		EXPECT_EQ(listed.lastId, row.lastId);
		EXPECT_EQ(listed.firstText, row.firstText);
		EXPECT_EQ(listed.currentText, row.firstText);
		EXPECT_EQ(after.targets, row.targets);
		expectUsableAfterwards(listed, after);
	}
}

} // namespace
