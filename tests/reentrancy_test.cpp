// What the user can do while a studio refresh waits for a slow server: the fetch's nested event loop keeps the
// dialog's buttons (and, before the dialog is shown, OBS's Tools menu) live. And Enter in the server field, which
// starts a refresh rather than pressing OK. Everything is driven through the real dialog, modal as OBS runs it,
// against real HTTP on 127.0.0.1.
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

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace {

// Slow, but it does end: the list arrives one byte every `intervalMs`, well inside the fetch's time limit.
HttpAnswer slowList(const QByteArray &body, int intervalMs = 20, int status = 200, const QByteArray &reason = "OK")
{
	HttpAnswer answer = HttpAnswer::json(body, status, reason);
	answer.chunkBytes = 1;
	answer.intervalMs = intervalMs;
	return answer;
}

// Runs `action` once, from whichever event loop is running, as soon as the server has a new request for `target`:
// that is, while the fetch that sent it waits for the answer. Stops watching when it goes.
class WhenRequested {
public:
	WhenRequested(const HttpTestServer &server, const QByteArray &target, std::function<void()> action)
	{
		const int before = server.targets().count(target);
		timer_.setInterval(5);
		QObject::connect(&timer_, &QTimer::timeout, &timer_, [this, &server, target, before, action]() {
			if (server.targets().count(target) == before)
				return;
			timer_.stop();
			ran_ = true;
			action();
		});
		timer_.start();
	}

	bool ran() const { return ran_; }

private:
	QTimer timer_;
	bool ran_ = false;
};

// Selects the field's text and types the address over it, as the user does.
void typeAddress(QLineEdit *field, const QString &address)
{
	field->setFocus();
	QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
	QTest::keyClicks(field, address);
}

// The studio box and the status label as the user sees them.
struct Shown {
	QString status;
	QStringList items;
	QString current;
};

Shown shownBy(const SetupControls &c)
{
	Shown shown;
	shown.status = c.statusLabel->text();
	for (int i = 0; i < c.studioCombo->count(); ++i)
		shown.items << c.studioCombo->itemText(i);
	shown.current = c.studioCombo->currentText();
	return shown;
}

const QByteArray kSlowStudio = R"([{"id":"lento","name":"Lento"}])";
const QByteArray kQuickStudios = R"([{"id":"r1","name":"R1"},{"id":"r2","name":"R2"}])";

class Reentrancy : public ::testing::Test {
protected:
	static void SetUpTestSuite() { ASSERT_TRUE(obs_session::prepareForBrowserSources()); }

	void SetUp() override
	{
		ASSERT_TRUE(server.isListening());
		baseline = obs_allocs::now();
		scene = obs_scene_create("current");
		frontend::setCurrentScene(obs_scene_get_source(scene));
	}

	void TearDown() override
	{
		frontend::setCurrentScene(nullptr);
		frontend::setMainWindow(nullptr);
		scene = nullptr;
		// Every request the test made is over by now: the fetch takes its connection with it.
		EXPECT_TRUE(HttpTestServer::waitUntil([&]() { return server.openConnections() == 0; }));
		EXPECT_EQ(obs_allocs::settledAt(baseline), baseline) << "libobs objects left behind";
	}

	QString at(const char *prefix) const { return server.url() + QLatin1String(prefix); }

	HttpTestServer server;
	long baseline = 0;
	TestScene scene;
};

TEST_F(Reentrancy, aSecondRefreshInsideTheFirstCompletesAndTheOuterResultWins)
{
	struct Row {
		const char *behaviour;
		HttpAnswer outer;
		Shown outerShown;
	};
	const std::vector<Row> rows = {
		{"the outer refresh lists a studio",
		 slowList(kSlowStudio),
		 {"1 estúdio(s) encontrado(s).", {"Lento  (lento)"}, "Lento  (lento)"}},
		{"the outer refresh fails",
		 slowList(kSlowStudio, 20, 503, "Ocupado"),
		 {"Não foi possível consultar o Lorvalen: Error transferring " + server.url() +
			  "/lento/api/studios - server replied: Ocupado",
		  {},
		  ""}},
	};
	server.serve("/rapido/api/studios", HttpAnswer::json(kQuickStudios));
	// The second refresh comes from a press of the button, or from Enter in the server field, which must
	// behave the same way.
	for (const Row &row : rows)
		for (const bool innerByEnter : {false, true}) {
			SCOPED_TRACE(row.behaviour);
			SCOPED_TRACE(innerByEnter ? "the inner refresh by Enter in the server field" : "by the button");
			server.serve("/lento/api/studios", row.outer);
			const int requestsBefore = server.targets().size();
			QDialog dialog;
			const SetupControls c = buildSetupDialog(&dialog);
			bool outerReturned = false;
			bool innerStartedDuringOuter = false, innerEndedDuringOuter = false;
			Shown inner, outer;
			WhenRequested duringOuter(server, "/lento/api/studios", [&]() {
				innerStartedDuringOuter = !outerReturned;
				typeAddress(c.serverEdit, at("/rapido"));
				if (innerByEnter) {
					ASSERT_TRUE(readyForKeys(c.serverEdit));
					EXPECT_FALSE(readMessageBoxAfter(
							     [&]() { QTest::keyClick(c.serverEdit, Qt::Key_Return); },
							     &dialog)
							     .has_value())
						<< "Enter pressed OK";
				} else {
					QTest::mouseClick(c.refreshButton, Qt::LeftButton);
				}
				inner = shownBy(c);
				innerEndedDuringOuter = !outerReturned;
			});
			onNextModal([&](QWidget *) {
				typeAddress(c.serverEdit, at("/lento"));
				QTest::mouseClick(c.refreshButton, Qt::LeftButton);
				outerReturned = true;
				outer = shownBy(c);
				dialog.reject();
			});
			EXPECT_EQ(dialog.exec(), QDialog::Rejected);

			ASSERT_TRUE(duringOuter.ran());
			EXPECT_TRUE(innerStartedDuringOuter);
			EXPECT_TRUE(innerEndedDuringOuter)
				<< "the inner refresh must run to its end inside the outer one";
			EXPECT_EQ(inner.status, "2 estúdio(s) encontrado(s).");
			EXPECT_EQ(inner.items, (QStringList{"R1  (r1)", "R2  (r2)"}));
			EXPECT_EQ(outer.status, row.outerShown.status);
			EXPECT_EQ(outer.items, row.outerShown.items);
			EXPECT_EQ(outer.current, row.outerShown.current);
			EXPECT_EQ(server.targets().mid(requestsBefore),
				  (QList<QByteArray>{"/lento/api/studios", "/rapido/api/studios"}));
		}
}

// With a studio listed from one server, Enter after typing another server's address looks that server up. Were
// it to reach OK, the old server's studio would be provisioned under the new address.
TEST_F(Reentrancy, enterInTheServerFieldLooksTheTypedServerUpAndNeverPressesOk)
{
	server.serve("/antigo/api/studios", HttpAnswer::json(kSlowStudio));
	server.serve("/novo/api/studios", HttpAnswer::json(kQuickStudios));
	// The keypad's Enter carries the keypad modifier, as a real key press does.
	for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
		SCOPED_TRACE(key == Qt::Key_Return ? "Return" : "Enter on the keypad");
		const Qt::KeyboardModifiers modifiers = key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier;
		QDialog dialog;
		const SetupControls c = buildSetupDialog(&dialog);
		c.serverEdit->setText(at("/antigo"));
		c.refreshButton->click();
		ASSERT_EQ(shownBy(c).items, QStringList{"Lento  (lento)"});
		const int requestsBefore = server.targets().size();
		std::optional<SeenMessageBox> box;
		Shown after;
		bool stillOpen = false, keysReachTheField = false;
		onNextModal([&](QWidget *) {
			typeAddress(c.serverEdit, at("/novo"));
			keysReachTheField = readyForKeys(c.serverEdit);
			box = readMessageBoxAfter([&]() { QTest::keyClick(c.serverEdit, key, modifiers); }, &dialog);
			after = shownBy(c);
			stillOpen = dialog.isVisible();
			dialog.reject();
		});
		EXPECT_EQ(dialog.exec(), QDialog::Rejected);

		ASSERT_TRUE(keysReachTheField) << "the dialog never became the active window with the field focused";
		EXPECT_TRUE(stillOpen);
		EXPECT_FALSE(box.has_value()) << "Enter brought up: " << box->text.toStdString();
		EXPECT_EQ(server.targets().mid(requestsBefore), QList<QByteArray>{"/novo/api/studios"});
		EXPECT_EQ(after.status, "2 estúdio(s) encontrado(s).");
		EXPECT_EQ(after.items, (QStringList{"R1  (r1)", "R2  (r2)"}));
		EXPECT_EQ(after.current, "R1  (r1)");
		EXPECT_EQ(countSourcesOfType("browser_source"), 0);
	}
}

TEST_F(Reentrancy, okDuringTheWaitProvisionsTheListedStudioAndTheDialogClosesOnceTheRefreshReturns)
{
	server.serve("/api/studios", HttpAnswer::json(R"([{"id":"antes","name":"Antes"}])"));

	// Destroyed as soon as its run ends, as showSetupDialog does, so that anything still pointing into it after
	// the refresh has returned would be caught (under AddressSanitizer as a use after free).
	auto dialog = std::make_unique<QDialog>();
	const SetupControls c = buildSetupDialog(dialog.get());
	QDialog *shownDialog = dialog.get();
	std::optional<SeenMessageBox> confirmation;
	bool refreshReturned = false, closedDuringWait = false;
	Shown listedBefore, afterRefresh;
	std::unique_ptr<WhenRequested> duringRefresh;
	onNextModal([&](QWidget *) {
		typeAddress(c.serverEdit, server.url());
		QTest::mouseClick(c.refreshButton, Qt::LeftButton);
		listedBefore = shownBy(c);
		// The server has changed its list and is slow to tell; OK is pressed while the refresh waits.
		server.serve("/api/studios", slowList(R"([{"id":"depois","name":"Depois"}])"));
		duringRefresh = std::make_unique<WhenRequested>(server, "/api/studios", [&]() {
			confirmation = clickAndReadMessageBox(c.buttonBox->button(QDialogButtonBox::Ok), shownDialog);
			closedDuringWait = !shownDialog->isVisible() && !refreshReturned;
		});
		QTest::mouseClick(c.refreshButton, Qt::LeftButton);
		refreshReturned = true;
		// The waiting run completed on the closed dialog.
		afterRefresh = shownBy(c);
		if (shownDialog->isVisible())
			shownDialog->reject();
	});
	const int result = dialog->exec();
	dialog.reset();
	QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
	QTest::qWait(50);

	EXPECT_EQ(listedBefore.items, (QStringList{"Antes  (antes)"}));
	ASSERT_TRUE(duringRefresh && duringRefresh->ran());
	ASSERT_TRUE(confirmation.has_value()) << "OK during the wait brought up no box";
	EXPECT_EQ(confirmation->icon, QMessageBox::Information);
	// OK took the studio the box held at that moment: the previous refresh's.
	EXPECT_EQ(confirmation->text,
		  QStringLiteral("Fonte \"Lorvalen PGM \u2014 antes\" criada/atualizada no scene atual."));
	EXPECT_TRUE(confirmation->belowVisible);
	EXPECT_TRUE(closedDuringWait) << "the dialog must close at once, while the refresh still waits";
	EXPECT_TRUE(refreshReturned);
	EXPECT_EQ(afterRefresh.status, "1 estúdio(s) encontrado(s).");
	EXPECT_EQ(afterRefresh.items, (QStringList{"Depois  (depois)"}));
	EXPECT_EQ(result, QDialog::Accepted);

	OBSSourceAutoRelease source = obs_get_source_by_name("Lorvalen PGM \xE2\x80\x94 antes");
	ASSERT_TRUE(source);
	OBSDataAutoRelease settings = obs_source_get_settings(source);
	EXPECT_EQ(QString::fromUtf8(obs_data_get_string(settings, "url")), server.url() + "/out/antes?src=pgm");
	EXPECT_EQ(topLevelItems(scene, source).size(), 1u);
	EXPECT_EQ(countSourcesOfType("browser_source"), 1) << "only the studio on screen at OK is provisioned";
}

TEST_F(Reentrancy, cancelEscapeAndTheCloseButtonDuringTheWaitCloseAtOnceAndTouchNothing)
{
	server.serve("/lento/api/studios", slowList(kSlowStudio));
	const std::pair<const char *, std::function<void(QDialog *, const SetupControls &)>> ways[] = {
		{"cancel",
		 [](QDialog *, const SetupControls &c) {
			 QTest::mouseClick(c.buttonBox->button(QDialogButtonBox::Cancel), Qt::LeftButton);
		 }},
		{"escape",
		 [](QDialog *d, const SetupControls &) {
			 // Where the key lands: the widget with the focus, which hands Escape on to the dialog.
			 QWidget *target = QApplication::focusWidget();
			 if (!target || target->window() != d)
				 target = d;
			 QTest::keyClick(target, Qt::Key_Escape);
		 }},
		{"closeButton",
		 [](QDialog *d, const SetupControls &) {
			 // The window system's close request, as the title bar's button sends it.
			 ASSERT_NE(d->windowHandle(), nullptr);
			 d->windowHandle()->close();
		 }},
	};
	for (const auto &way : ways) {
		SCOPED_TRACE(way.first);
		auto dialog = std::make_unique<QDialog>();
		const SetupControls c = buildSetupDialog(dialog.get());
		QDialog *shownDialog = dialog.get();
		bool refreshReturned = false, closedDuringWait = false;
		Shown afterRefresh;
		WhenRequested duringRefresh(server, "/lento/api/studios", [&]() {
			way.second(shownDialog, c);
			closedDuringWait = !shownDialog->isVisible() && !refreshReturned;
		});
		onNextModal([&](QWidget *) {
			c.studioCombo->lineEdit()->setText(QStringLiteral("digitado"));
			typeAddress(c.serverEdit, at("/lento"));
			QTest::mouseClick(c.refreshButton, Qt::LeftButton);
			refreshReturned = true;
			afterRefresh = shownBy(c);
			if (shownDialog->isVisible())
				shownDialog->reject();
		});
		const int result = dialog->exec();
		dialog.reset();
		QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

		ASSERT_TRUE(duringRefresh.ran());
		EXPECT_TRUE(closedDuringWait);
		EXPECT_EQ(result, QDialog::Rejected);
		EXPECT_EQ(afterRefresh.status, "1 estúdio(s) encontrado(s).");
		EXPECT_EQ(afterRefresh.items, (QStringList{"Lento  (lento)"}));
		EXPECT_EQ(countSourcesOfType("browser_source"), 0);
		EXPECT_EQ(topLevelItems(scene).size(), 0u);
	}
}

// The first refresh runs before the dialog is shown, against the server field's default, 127.0.0.1:3000.
TEST_F(Reentrancy, theToolsMenuItemActivatedAgainDuringTheFirstFetchOrWhileTheDialogIsUpIsIgnored)
{
	HttpTestServer defaultServer(3000);
	// ctest runs this on a loopback of its own (tests/support/own_loopback.sh), where the port is free.
	ASSERT_TRUE(defaultServer.isListening()) << "127.0.0.1:3000 is taken: run the test through ctest";
	defaultServer.serve("/api/studios", slowList(R"([{"id":"p1","name":"Padrão"}])"));
	QWidget mainWindow;
	frontend::setMainWindow(&mainWindow);

	// Were a second activation not ignored, it would run a dialog of its own: this closes any such dialog, so that
	// the test fails rather than waits for ever.
	bool firstHandled = false;
	int unexpectedDialogs = 0;
	QTimer safety;
	safety.setInterval(50);
	QObject::connect(&safety, &QTimer::timeout, &safety, [&]() {
		auto *modal = qobject_cast<QDialog *>(QApplication::activeModalWidget());
		if (firstHandled && modal && modal->isVisible()) {
			++unexpectedDialogs;
			modal->reject();
		}
	});
	safety.start();

	bool duringFetchReturned = false;
	bool duringFetchNothingShown = false;
	int dialogsDuringFetch = -1, connectionsDuringFetch = -1;
	WhenRequested duringFirstFetch(defaultServer, "/api/studios", [&]() {
		showSetupDialog(); // as a second click on the menu item does
		duringFetchReturned = true;
		duringFetchNothingShown = QApplication::activeModalWidget() == nullptr;
		dialogsDuringFetch = mainWindow.findChildren<QDialog *>().size();
		connectionsDuringFetch = defaultServer.connectionsAccepted();
	});

	Shown firstShown;
	int dialogsWhileShown = -1, connectionsWhileShown = -1;
	QWidget *firstDialog = nullptr, *modalAfterSecond = nullptr;
	onNextModal([&](QWidget *shown) {
		firstHandled = true;
		firstDialog = shown;
		for (const QLabel *label : shown->findChildren<QLabel *>())
			if (label->wordWrap()) // the status label; the form's own labels do not wrap
				firstShown.status = label->text();
		showSetupDialog(); // a click on the menu item while the dialog is up
		modalAfterSecond = QApplication::activeModalWidget();
		dialogsWhileShown = mainWindow.findChildren<QDialog *>().size();
		connectionsWhileShown = defaultServer.connectionsAccepted();
		static_cast<QDialog *>(shown)->reject();
	});
	showSetupDialog();

	ASSERT_TRUE(duringFirstFetch.ran());
	EXPECT_TRUE(duringFetchReturned);
	EXPECT_TRUE(duringFetchNothingShown) << "a second dialog was shown during the first fetch";
	EXPECT_EQ(dialogsDuringFetch, 1);
	EXPECT_EQ(connectionsDuringFetch, 1);
	EXPECT_EQ(firstShown.status, "1 estúdio(s) encontrado(s).");
	EXPECT_EQ(modalAfterSecond, firstDialog);
	EXPECT_EQ(dialogsWhileShown, 1);
	EXPECT_EQ(connectionsWhileShown, 1);
	EXPECT_EQ(unexpectedDialogs, 0);
	EXPECT_EQ(defaultServer.connectionsAccepted(), 1);
	EXPECT_EQ(defaultServer.targets(), (QList<QByteArray>{"/api/studios"}));
	EXPECT_TRUE(mainWindow.findChildren<QDialog *>().isEmpty());

	// Once that dialog has gone, the menu item opens a new one again, with a fresh request.
	bool reopened = false;
	onNextModal([&](QWidget *shown) {
		reopened = true;
		static_cast<QDialog *>(shown)->reject();
	});
	firstHandled = false;
	showSetupDialog();
	EXPECT_TRUE(reopened);
	EXPECT_EQ(defaultServer.connectionsAccepted(), 2);
	EXPECT_TRUE(mainWindow.findChildren<QDialog *>().isEmpty());
	EXPECT_TRUE(HttpTestServer::waitUntil([&]() { return defaultServer.openConnections() == 0; }));
}

} // namespace
