// The setup dialog as built and as a user closes it, with real widgets on the offscreen platform.
#include "dialog/setup_dialog.hpp"
#include "support/frontend_stub.hpp"
#include "support/modal_driver.hpp"
#include "support/qt_print.hpp"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

namespace {

QString labelOf(QFormLayout *form, int row)
{
	// An empty label text leaves the label column empty: no label widget at all.
	QLayoutItem *item = form->itemAt(row, QFormLayout::LabelRole);
	if (!item || !item->widget())
		return QString();
	return static_cast<QLabel *>(item->widget())->text();
}

TEST(SetupDialog, buildsTenRowsWithTheirLabelsAndControls)
{
	QDialog dialog;
	const SetupControls c = buildSetupDialog(&dialog);
	auto *form = qobject_cast<QFormLayout *>(dialog.layout());
	ASSERT_NE(form, nullptr);
	ASSERT_EQ(form->rowCount(), 10);

	struct Row {
		QString label;
		QWidget *field;
	};
	const Row rows[] = {
		{"Servidor Lorvalen", c.serverEdit},
		{"Estúdio", c.studioCombo},
		{"", c.refreshButton},
		{"", c.statusLabel},
		{"Sinal", c.signalCombo},
		{"Largura", c.widthSpin},
		{"Altura", c.heightSpin},
		{"FPS", c.fpsSpin},
		{"", c.audioCheck},
	};
	for (int row = 0; row < 9; ++row) {
		SCOPED_TRACE(row + 1);
		EXPECT_EQ(labelOf(form, row), rows[row].label);
		ASSERT_NE(form->itemAt(row, QFormLayout::FieldRole), nullptr);
		EXPECT_EQ(form->itemAt(row, QFormLayout::FieldRole)->widget(), rows[row].field);
		EXPECT_EQ(rows[row].field->parent(), &dialog);
	}
	ASSERT_NE(form->itemAt(9, QFormLayout::SpanningRole), nullptr);
	EXPECT_EQ(form->itemAt(9, QFormLayout::SpanningRole)->widget(), c.buttonBox);
	EXPECT_EQ(c.buttonBox->standardButtons(), QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
}

TEST(SetupDialog, startsFromTheDefaults)
{
	QDialog dialog;
	const SetupControls c = buildSetupDialog(&dialog);
	EXPECT_EQ(dialog.windowTitle(), "Lorvalen PGM Source");
	EXPECT_EQ(dialog.minimumWidth(), 520);
	EXPECT_EQ(c.serverEdit->text(), "http://127.0.0.1:3000");
	EXPECT_TRUE(c.studioCombo->isEditable());
	EXPECT_EQ(c.studioCombo->count(), 0);
	EXPECT_EQ(c.studioCombo->currentText(), "");
	EXPECT_EQ(c.studioCombo->minimumContentsLength(), 36);
	EXPECT_EQ(c.refreshButton->text(), "Atualizar estúdios");
	EXPECT_EQ(c.statusLabel->text(), "Abra o Lorvalen para descobrir os estúdios.");
	EXPECT_TRUE(c.statusLabel->wordWrap());
	EXPECT_EQ(c.audioCheck->text(), "Incluir áudio do programa");
	EXPECT_TRUE(c.audioCheck->isChecked());

	EXPECT_FALSE(c.signalCombo->isEditable());
	ASSERT_EQ(c.signalCombo->count(), 2);
	EXPECT_EQ(c.signalCombo->currentIndex(), 0);
	EXPECT_EQ(c.signalCombo->itemText(0), "Programa horizontal (16:9)");
	EXPECT_EQ(c.signalCombo->itemData(0, Qt::UserRole), QVariant(QStringLiteral("pgm")));
	EXPECT_EQ(c.signalCombo->itemText(1), "Programa vertical (9:16)");
	EXPECT_EQ(c.signalCombo->itemData(1, Qt::UserRole), QVariant(QStringLiteral("vpgm")));
}

TEST(SetupDialog, spinBoxesHoldTheirDefaultsWithinTheirRanges)
{
	QDialog dialog;
	const SetupControls c = buildSetupDialog(&dialog);
	struct Case {
		const char *name;
		QSpinBox *spin;
		int minimum, maximum, value;
	};
	const Case cases[] = {
		{"width", c.widthSpin, 320, 3840, 1920},
		{"height", c.heightSpin, 180, 2160, 1080},
		{"fps", c.fpsSpin, 1, 120, 60},
	};
	for (const Case &k : cases) {
		SCOPED_TRACE(k.name);
		EXPECT_EQ(k.spin->value(), k.value); // a value set before the range would have been clamped to 99
		EXPECT_EQ(k.spin->minimum(), k.minimum);
		EXPECT_EQ(k.spin->maximum(), k.maximum);
		k.spin->setValue(k.maximum + 1);
		EXPECT_EQ(k.spin->value(), k.maximum);
		k.spin->setValue(k.minimum - 1);
		EXPECT_EQ(k.spin->value(), k.minimum);
		EXPECT_TRUE(k.spin->prefix().isEmpty() && k.spin->suffix().isEmpty());
		EXPECT_EQ(k.spin->singleStep(), 1);
	}
}

// Runs the dialog modally and has `close` end it from inside its own loop; returns exec's result.
int runAndClose(QDialog &dialog, const std::function<void(QDialog *)> &close)
{
	onNextModal([&](QWidget *modal) { close(static_cast<QDialog *>(modal)); });
	return dialog.exec();
}

TEST(SetupDialog, cancelEscapeAndCloseButtonEndIt)
{
	const std::pair<const char *, std::function<void(QDialog *)>> ways[] = {
		{"cancel",
		 [](QDialog *d) {
			 auto *box = d->findChild<QDialogButtonBox *>();
			 QTest::mouseClick(box->button(QDialogButtonBox::Cancel), Qt::LeftButton);
		 }},
		{"escape",
		 [](QDialog *d) {
			 QTest::keyClick(d, Qt::Key_Escape);
		 }},
		{"closeButton",
		 [](QDialog *d) {
			 d->close();
		 }},
	};
	for (const auto &way : ways) {
		SCOPED_TRACE(way.first);
		QDialog dialog;
		buildSetupDialog(&dialog);
		EXPECT_EQ(runAndClose(dialog, way.second), QDialog::Rejected);
		EXPECT_FALSE(dialog.isVisible());
	}
}

TEST(SetupDialog, reopensWithDefaultsNotThePreviousValues)
{
	{
		QDialog dialog;
		const SetupControls c = buildSetupDialog(&dialog);
		c.serverEdit->setText("http://elsewhere:1");
		c.widthSpin->setValue(640);
		c.audioCheck->setChecked(false);
	}
	QDialog dialog;
	const SetupControls c = buildSetupDialog(&dialog);
	EXPECT_EQ(c.serverEdit->text(), "http://127.0.0.1:3000");
	EXPECT_EQ(c.widthSpin->value(), 1920);
	EXPECT_TRUE(c.audioCheck->isChecked());
}

TEST(SetupDialog, showsOverTheMainWindowAndIsGoneAfterwards)
{
	QWidget mainWindow;
	frontend::setMainWindow(&mainWindow);
	QDialog *shown = nullptr;
	bool modal = false;
	onNextModal([&](QWidget *w) {
		shown = static_cast<QDialog *>(w);
		modal = w->isModal();
		EXPECT_EQ(w->parentWidget(), &mainWindow);
		// The first refresh has already replaced the status label's initial text.
		for (const QLabel *label : w->findChildren<QLabel *>())
			EXPECT_NE(label->text(), "Abra o Lorvalen para descobrir os estúdios.");
		shown->reject();
	});
	showSetupDialog();
	frontend::setMainWindow(nullptr);
	EXPECT_TRUE(modal);
	ASSERT_NE(shown, nullptr);
	EXPECT_TRUE(mainWindow.findChildren<QDialog *>().isEmpty()); // destroyed when showSetupDialog returned
}

} // namespace
