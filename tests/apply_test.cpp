// OK in the setup dialog, driven as a user drives it (typing, clicking, reading and dismissing the message
// boxes), provisioning real libobs sources and scenes.
#include "dialog/apply.hpp"
#include "dialog/setup_dialog.hpp"
#include "support/browser_stand_in.hpp"
#include "support/frontend_stub.hpp"
#include "support/message_box_reader.hpp"
#include "support/modal_driver.hpp"
#include "support/obs_allocs.hpp"
#include "support/obs_probe.hpp"
#include "support/obs_session.hpp"
#include "support/qt_print.hpp"

#include <gtest/gtest.h>
#include <obs.hpp>

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace {

using Items = std::vector<std::pair<QString, QString>>;

// Fills the studio box the way a refresh that found these studios leaves it: display text and id, first current.
void listStudios(QComboBox *box, const Items &items)
{
	box->clear();
	for (const auto &item : items)
		box->addItem(item.first, item.second);
	box->setCurrentIndex(0);
}

// Types the text key by key; QTest::keyClicks takes ASCII only, and ids and names can be Portuguese.
void typeText(QWidget *field, const QString &text)
{
	field->setFocus(); // keys reach the focused field, and shortcuts follow the focus
	for (const QChar ch : text) {
		if (ch.unicode() < 0x80)
			QTest::keyClick(field, ch.toLatin1());
		else
			QTest::sendKeyEvent(QTest::Click, field, Qt::Key(ch.toUpper().unicode()), QString(ch),
					    Qt::NoModifier);
	}
}

// Selects everything in the field and types over it.
void typeOver(QWidget *field, const QString &text)
{
	field->setFocus();
	QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
	if (text.isEmpty())
		QTest::keyClick(field, Qt::Key_Backspace);
	else
		typeText(field, text);
}

const Items kListed = {
	{QStringLiteral("Estúdio A  (A1)"), QStringLiteral("A1")},
	{QStringLiteral("Estúdio B  (B2)"), QStringLiteral("B2")},
};

TEST(ChosenStudioId, followsWhatTheBoxShows)
{
	struct Row {
		const char *behaviour;
		Items items;
		int current;
		std::optional<QString> typed;
		QString expected;
	};
	const std::vector<Row> rows = {
		{"a listed studio gives its id, not its display text", kListed, 0, {}, "A1"},
		{"the listed studio made current gives its id", kListed, 1, {}, "B2"},
		{"an id the server sent with blanks is trimmed", {{"Estúdio A  ( A1 )", " A1 "}}, 0, {}, "A1"},
		{"an id typed over a listed studio wins over that studio", kListed, 0, QStringLiteral("C3"), "C3"},
		{"a typed id is trimmed", kListed, 0, QStringLiteral("  C3  "), "C3"},
		{"another studio's display text typed exactly gives that studio's id", kListed, 0,
		 QStringLiteral("Estúdio B  (B2)"), "B2"},
		{"a listed studio cleared by the user gives nothing", kListed, 0, QStringLiteral(""), ""},
		{"a listed id of blanks only gives nothing, never the display text",
		 {{"Vazio  (   )", "   "}},
		 0,
		 {},
		 ""},
		{"an empty box gives nothing", {}, -1, {}, ""},
		{"blanks only give nothing", {}, -1, QStringLiteral("   "), ""},
		{"an id typed into an empty list is trimmed", {}, -1, QStringLiteral(" D4 "), "D4"},
	};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.behaviour);
		QDialog dialog;
		const SetupControls c = buildSetupDialog(&dialog);
		dialog.show();
		listStudios(c.studioCombo, row.items);
		c.studioCombo->setCurrentIndex(row.current);
		if (row.typed)
			typeOver(c.studioCombo->lineEdit(), *row.typed);
		EXPECT_EQ(chosenStudioId(c.studioCombo), row.expected);
	}
}

// What the user sees in the dialog, to tell whether a press of OK changed any of it.
struct Values {
	QString server;
	QString studioText;
	int studioIndex;
	int studioCount;
	int signalIndex;
	int width, height, fps;
	bool audio;
};

Values valuesOf(const SetupControls &c)
{
	return {c.serverEdit->text(),          c.studioCombo->currentText(),
		c.studioCombo->currentIndex(), c.studioCombo->count(),
		c.signalCombo->currentIndex(), c.widthSpin->value(),
		c.heightSpin->value(),         c.fpsSpin->value(),
		c.audioCheck->isChecked()};
}

void expectSameValues(const Values &after, const Values &before)
{
	EXPECT_EQ(after.server, before.server);
	EXPECT_EQ(after.studioText, before.studioText);
	EXPECT_EQ(after.studioIndex, before.studioIndex);
	EXPECT_EQ(after.studioCount, before.studioCount);
	EXPECT_EQ(after.signalIndex, before.signalIndex);
	EXPECT_EQ(after.width, before.width);
	EXPECT_EQ(after.height, before.height);
	EXPECT_EQ(after.fps, before.fps);
	EXPECT_EQ(after.audio, before.audio);
}

// Every box of the OK action: over the dialog, plain text, one Ok button.
void expectBox(const std::optional<SeenMessageBox> &box, QDialog *dialog, QMessageBox::Icon icon, const QString &title,
	       const QString &text)
{
	ASSERT_TRUE(box.has_value()) << "no message box came up";
	EXPECT_EQ(box->icon, icon);
	EXPECT_EQ(box->title, title);
	EXPECT_EQ(box->text, text);
	EXPECT_EQ(box->textFormat, Qt::PlainText);
	EXPECT_EQ(box->buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
	EXPECT_EQ(box->parent, dialog);
	EXPECT_TRUE(box->belowVisible) << "the dialog closed before the box was dismissed";
}

class ApplySetup : public ::testing::Test {
protected:
	static void SetUpTestSuite() { ASSERT_TRUE(obs_session::prepareForBrowserSources()); }

	void SetUp() override
	{
		baseline = obs_allocs::now();
		scene = obs_scene_create("current");
		frontend::setCurrentScene(obs_scene_get_source(scene));
		controls = buildSetupDialog(&dialog);
	}

	void TearDown() override
	{
		frontend::setCurrentScene(nullptr);
		scene = nullptr;
		EXPECT_EQ(obs_allocs::settledAt(baseline), baseline) << "libobs objects left behind";
	}

	// Runs the dialog modally, as OBS does; `user` acts inside its loop. A dialog the user leaves open is
	// cancelled afterwards, so that the run always ends. Returns the dialog's result.
	int run(const std::function<void()> &user)
	{
		onNextModal([&](QWidget *) {
			user();
			stillOpen = dialog.isVisible();
			if (stillOpen)
				dialog.reject();
		});
		return dialog.exec();
	}

	std::optional<SeenMessageBox> pressOk()
	{
		return clickAndReadMessageBox(controls.buttonBox->button(QDialogButtonBox::Ok), &dialog);
	}

	static OBSSourceAutoRelease sourceNamed(const QString &name)
	{
		const QByteArray utf8 = name.toUtf8();
		return obs_get_source_by_name(utf8.constData());
	}

	long baseline = 0;
	TestScene scene;
	QDialog dialog;
	SetupControls controls{};
	bool stillOpen = false;
};

TEST_F(ApplySetup, theUsersChoicesBecomeTheSourceThenTheConfirmationThenTheDialogCloses)
{
	struct Row {
		const char *behaviour;
		std::function<void(const SetupControls &)> input;
		QString name;
		std::string url;
		int width, height, fps;
		bool audio;
		float x, scale;
	};
	const std::vector<Row> rows = {
		{"a pasted id with blanks and the defaults",
		 [](const SetupControls &c) { typeText(c.studioCombo->lineEdit(), "  A1  "); },
		 QStringLiteral("Lorvalen PGM \u2014 A1"), "http://127.0.0.1:3000/out/A1?src=pgm", 1920, 1080, 60, true,
		 0.0f, 1.0f},
		{"every control changed: vertical signal, size, rate, no audio, another server",
		 [](const SetupControls &c) {
			 typeOver(c.serverEdit, "http://10.0.0.5:3000/");
			 typeText(c.studioCombo->lineEdit(), "B2");
			 QTest::keyClick(c.signalCombo, Qt::Key_Down);
			 typeOver(c.widthSpin, "1080");
			 typeOver(c.heightSpin, "1920");
			 typeOver(c.fpsSpin, "30");
			 QTest::keyClick(c.audioCheck, Qt::Key_Space);
		 },
		 QStringLiteral("Lorvalen Vertical \u2014 B2"), "http://10.0.0.5:3000/out/B2?src=vpgm", 1080, 1920, 30,
		 false, 656.25f, 0.5625f},
	};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.behaviour);
		QDialog rowDialog;
		const SetupControls c = buildSetupDialog(&rowDialog);
		std::optional<SeenMessageBox> box;
		onNextModal([&](QWidget *) {
			row.input(c);
			box = clickAndReadMessageBox(c.buttonBox->button(QDialogButtonBox::Ok), &rowDialog);
			if (rowDialog.isVisible())
				rowDialog.reject();
		});
		EXPECT_EQ(rowDialog.exec(), QDialog::Accepted);
		EXPECT_FALSE(rowDialog.isVisible());
		expectBox(box, &rowDialog, QMessageBox::Information, "Lorvalen PGM",
			  QStringLiteral("Fonte \"%1\" criada/atualizada no scene atual.").arg(row.name));

		OBSSourceAutoRelease source = sourceNamed(row.name);
		ASSERT_TRUE(source);
		OBSDataAutoRelease settings = obs_source_get_settings(source);
		EXPECT_STREQ(obs_data_get_string(settings, "url"), row.url.c_str());
		EXPECT_EQ(obs_data_get_int(settings, "width"), row.width);
		EXPECT_EQ(obs_data_get_int(settings, "height"), row.height);
		EXPECT_EQ(obs_data_get_int(settings, "fps"), row.fps);
		EXPECT_EQ(obs_data_get_bool(settings, "reroute_audio"), row.audio);
		EXPECT_EQ(obs_source_audio_active(source), row.audio);
		const auto items = topLevelItems(scene, source);
		ASSERT_EQ(items.size(), 1u);
		EXPECT_EQ(positionOf(items[0]).x, placedAt(row.x));
		EXPECT_EQ(scaleOf(items[0]).x, row.scale);
	}
}

TEST_F(ApplySetup, noStudioIdWarnsTouchesNothingAndKeepsTheDialogAsItWas)
{
	for (const char *typed : {"", "   "}) {
		SCOPED_TRACE(std::string("studio box: \"") + typed + "\"");
		QDialog rowDialog;
		const SetupControls c = buildSetupDialog(&rowDialog);
		std::optional<SeenMessageBox> box;
		Values before{}, after{};
		bool open = false;
		onNextModal([&](QWidget *) {
			typeOver(c.widthSpin, "1280");
			QTest::keyClick(c.audioCheck, Qt::Key_Space);
			typeText(c.studioCombo->lineEdit(), typed);
			before = valuesOf(c);
			box = clickAndReadMessageBox(c.buttonBox->button(QDialogButtonBox::Ok), &rowDialog);
			after = valuesOf(c);
			open = rowDialog.isVisible();
			rowDialog.reject();
		});
		EXPECT_EQ(rowDialog.exec(), QDialog::Rejected);
		expectBox(box, &rowDialog, QMessageBox::Warning, "Lorvalen", "Escolha um estúdio ou cole o ID.");
		EXPECT_TRUE(open);
		expectSameValues(after, before);
		EXPECT_EQ(before.width, 1280);
		EXPECT_EQ(countSourcesOfType("browser_source"), 0);
		EXPECT_EQ(topLevelItems(scene).size(), 0u);
	}
}

TEST_F(ApplySetup, aFailureShowsItsTextAloneKeepsTheDialogAndASecondOkTriesAgain)
{
	// A scene already holds the name the horizontal signal would take.
	TestScene holder = obs_scene_create("Lorvalen PGM \xE2\x80\x94 A1");
	std::optional<SeenMessageBox> refused, confirmed;
	Values before{}, after{};
	const int result = run([&]() {
		typeText(controls.studioCombo->lineEdit(), "A1");
		before = valuesOf(controls);
		refused = pressOk();
		after = valuesOf(controls);
		if (!dialog.isVisible())
			return;
		QTest::keyClick(controls.signalCombo, Qt::Key_Down);
		confirmed = pressOk();
	});
	expectBox(
		refused, &dialog, QMessageBox::Critical, "Lorvalen",
		QStringLiteral("Já existe uma fonte chamada \"Lorvalen PGM \u2014 A1\" que não é uma Browser Source."));
	expectSameValues(after, before);
	expectBox(confirmed, &dialog, QMessageBox::Information, "Lorvalen PGM",
		  QStringLiteral("Fonte \"Lorvalen Vertical \u2014 A1\" criada/atualizada no scene atual."));
	EXPECT_EQ(result, QDialog::Accepted);
	OBSSourceAutoRelease source = sourceNamed(QStringLiteral("Lorvalen Vertical \u2014 A1"));
	ASSERT_TRUE(source);
	EXPECT_EQ(topLevelItems(scene, source).size(), 1u);
	EXPECT_EQ(countSourcesOfType("browser_source"), 1);
}

TEST_F(ApplySetup, noCurrentSceneIsReportedAndTheDialogStaysOpen)
{
	frontend::setCurrentScene(nullptr);
	std::optional<SeenMessageBox> box;
	Values before{}, after{};
	const int result = run([&]() {
		typeText(controls.studioCombo->lineEdit(), "A1");
		before = valuesOf(controls);
		box = pressOk();
		after = valuesOf(controls);
	});
	expectBox(box, &dialog, QMessageBox::Critical, "Lorvalen", "Nenhum scene ativo no OBS.");
	EXPECT_TRUE(stillOpen);
	EXPECT_EQ(result, QDialog::Rejected);
	expectSameValues(after, before);
	EXPECT_EQ(countSourcesOfType("browser_source"), 0);
}

TEST_F(ApplySetup, theIdOnScreenIsTheOneProvisioned)
{
	struct Row {
		const char *behaviour;
		Items items;
		std::optional<QString> typed;
		bool confirmWithEnter;
		QString id;
	};
	const std::vector<Row> rows = {
		{"a listed studio left as listed: its id, not its display text", kListed, {}, false, "A1"},
		{"an id typed over the listed studio", kListed, QStringLiteral("C3"), false, "C3"},
		{"an id typed over the listed studio and confirmed with Enter", kListed, QStringLiteral("C3"), true,
		 "C3"},
		{"another listed studio's text typed exactly", kListed, QStringLiteral("Estúdio B  (B2)"), false, "B2"},
		{"an id the server sent with blanks", {{"Estúdio A  ( A1 )", " A1 "}}, {}, false, "A1"},
	};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.behaviour);
		QDialog rowDialog;
		const SetupControls c = buildSetupDialog(&rowDialog);
		listStudios(c.studioCombo, row.items);
		std::optional<SeenMessageBox> box;
		onNextModal([&](QWidget *) {
			if (row.typed)
				typeOver(c.studioCombo->lineEdit(), *row.typed);
			// Enter in the box reaches the dialog's default button, OK.
			if (row.confirmWithEnter && readyForKeys(c.studioCombo->lineEdit()))
				box = readMessageBoxAfter(
					[&]() { QTest::keyClick(c.studioCombo->lineEdit(), Qt::Key_Return); },
					&rowDialog);
			else if (!row.confirmWithEnter)
				box = clickAndReadMessageBox(c.buttonBox->button(QDialogButtonBox::Ok), &rowDialog);
			if (rowDialog.isVisible())
				rowDialog.reject();
		});
		EXPECT_EQ(rowDialog.exec(), QDialog::Accepted);
		const QString name = QStringLiteral("Lorvalen PGM \u2014 ") + row.id;
		expectBox(box, &rowDialog, QMessageBox::Information, "Lorvalen PGM",
			  QStringLiteral("Fonte \"%1\" criada/atualizada no scene atual.").arg(name));
		OBSSourceAutoRelease source = sourceNamed(name);
		ASSERT_TRUE(source);
		OBSDataAutoRelease settings = obs_source_get_settings(source);
		EXPECT_EQ(QString::fromUtf8(obs_data_get_string(settings, "url")),
			  QStringLiteral("http://127.0.0.1:3000/out/") + row.id + QStringLiteral("?src=pgm"));
		EXPECT_EQ(countSourcesOfType("browser_source"), 1) << "only the studio on screen is provisioned";

		// Gone with the scene item, so that the next row starts from an empty scene.
		for (obs_sceneitem_t *item : topLevelItems(scene))
			obs_sceneitem_remove(item);
	}
}

TEST_F(ApplySetup, anIdThatLooksLikeMarkupIsShownAsPlainText)
{
	std::optional<SeenMessageBox> box;
	const int result = run([&]() {
		typeText(controls.studioCombo->lineEdit(), "<b>X</b><img src=y>");
		box = pressOk();
	});
	EXPECT_EQ(result, QDialog::Accepted);
	expectBox(
		box, &dialog, QMessageBox::Information, "Lorvalen PGM",
		QStringLiteral("Fonte \"Lorvalen PGM \u2014 <b>X</b><img src=y>\" criada/atualizada no scene atual."));
}

} // namespace
