#include "dialog/setup_dialog.hpp"

#include "dialog/apply.hpp"
#include "dialog/refresh.hpp"
#include "directory/server_url.hpp"

#include <obs-frontend-api.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QShortcut>
#include <QSpinBox>

static QSpinBox *makeSpin(QDialog *dialog, int minimum, int maximum, int value)
{
	auto *spin = new QSpinBox(dialog);
	// Range first: a new spin box allows only 0 to 99 and would clamp the value.
	spin->setRange(minimum, maximum);
	spin->setValue(value);
	return spin;
}

SetupControls buildSetupDialog(QDialog *dialog)
{
	dialog->setWindowTitle(QStringLiteral("Lorvalen PGM Source"));
	dialog->setMinimumWidth(520);
	auto *form = new QFormLayout(dialog);

	SetupControls c;
	c.serverEdit = new QLineEdit(dialog);
	c.serverEdit->setText(QString::fromLatin1(kDefaultServerUrl));

	c.studioCombo = new QComboBox(dialog);
	c.studioCombo->setEditable(true);
	c.studioCombo->setMinimumContentsLength(36);

	c.statusLabel = new QLabel(dialog);
	c.statusLabel->setText(QStringLiteral("Abra o Lorvalen para descobrir os estúdios."));
	c.statusLabel->setWordWrap(true);
	c.statusLabel->setTextFormat(Qt::PlainText); // it quotes server text, which must never render as markup

	c.refreshButton = new QPushButton(dialog);
	c.refreshButton->setText(QStringLiteral("Atualizar estúdios"));

	c.signalCombo = new QComboBox(dialog);
	c.signalCombo->addItem(QStringLiteral("Programa horizontal (16:9)"), QStringLiteral("pgm"));
	c.signalCombo->addItem(QStringLiteral("Programa vertical (9:16)"), QStringLiteral("vpgm"));
	c.signalCombo->setCurrentIndex(0);

	c.widthSpin = makeSpin(dialog, 320, 3840, 1920);
	c.heightSpin = makeSpin(dialog, 180, 2160, 1080);
	c.fpsSpin = makeSpin(dialog, 1, 120, 60);

	c.audioCheck = new QCheckBox(dialog);
	c.audioCheck->setText(QStringLiteral("Incluir áudio do programa"));
	c.audioCheck->setChecked(true);

	c.buttonBox = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);

	form->addRow(QStringLiteral("Servidor Lorvalen"), c.serverEdit);
	form->addRow(QStringLiteral("Estúdio"), c.studioCombo);
	form->addRow(QString(), c.refreshButton);
	form->addRow(QString(), c.statusLabel);
	form->addRow(QStringLiteral("Sinal"), c.signalCombo);
	form->addRow(QStringLiteral("Largura"), c.widthSpin);
	form->addRow(QStringLiteral("Altura"), c.heightSpin);
	form->addRow(QStringLiteral("FPS"), c.fpsSpin);
	form->addRow(QString(), c.audioCheck);
	form->addRow(c.buttonBox);

	// The actions hold plain pointers to controls the dialog owns; the dialog as context object ends the
	// connections when it goes.
	QLineEdit *serverEdit = c.serverEdit;
	QComboBox *studioCombo = c.studioCombo;
	QLabel *statusLabel = c.statusLabel;
	QObject::connect(c.refreshButton, &QAbstractButton::clicked, dialog, [serverEdit, studioCombo, statusLabel]() {
		refreshStudioList(serverEdit, studioCombo, statusLabel);
	});
	// Enter in the server field would otherwise reach the default button, OK, and apply the studio listed by
	// the previous server with the newly typed address. There it means "look this server up". A widget
	// shortcut takes the key before the dialog sees it, and only while the field has focus.
	QPushButton *refreshButton = c.refreshButton;
	for (const int key : {Qt::Key_Return, Qt::Key_Enter}) {
		auto *lookUp = new QShortcut(QKeySequence(key), c.serverEdit);
		lookUp->setContext(Qt::WidgetShortcut);
		lookUp->setAutoRepeat(false); // a held key is one look-up, not a stack of nested ones
		QObject::connect(lookUp, &QShortcut::activated, dialog, [refreshButton]() { refreshButton->click(); });
	}
	QObject::connect(c.buttonBox, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
	const ApplySet applySet{c.studioCombo, dialog,       c.serverEdit, c.signalCombo,
				c.widthSpin,   c.heightSpin, c.fpsSpin,    c.audioCheck};
	QObject::connect(c.buttonBox, &QDialogButtonBox::accepted, dialog, [applySet]() { applySetup(applySet); });
	return c;
}

void showSetupDialog()
{
	// The first studio fetch waits in a nested event loop before the dialog is shown, and OBS's Tools menu
	// stays live meanwhile. A second activation then is ignored rather than stacking a second dialog and
	// a second request on the first.
	static bool active = false;
	if (active)
		return;
	active = true;
	const auto done = qScopeGuard([] { active = false; });

	QDialog dialog(static_cast<QWidget *>(obs_frontend_get_main_window()));
	const SetupControls c = buildSetupDialog(&dialog);
	refreshStudioList(c.serverEdit, c.studioCombo, c.statusLabel);
	dialog.exec();
}
