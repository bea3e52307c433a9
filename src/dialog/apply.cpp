#include "dialog/apply.hpp"

#include "dialog/message_box.hpp"
#include "output/naming.hpp"
#include "output/program_source.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QSpinBox>

QString chosenStudioId(const QComboBox *studioCombo)
{
	const QString text = studioCombo->currentText();
	int index = studioCombo->currentIndex();
	if (index < 0 || studioCombo->itemText(index) != text)
		index = studioCombo->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);

	// A listed studio is known by its data alone: its display text is never an id, even when the id the
	// server sent trims to nothing. An item without data is one the user entered, and is its own id.
	if (index >= 0) {
		const QVariant id = studioCombo->itemData(index, Qt::UserRole);
		if (id.isValid())
			return id.toString().trimmed();
	}
	return text.trimmed();
}

void applySetup(const ApplySet &set)
{
	const QString studioId = chosenStudioId(set.studioCombo);
	if (studioId.isEmpty()) {
		showMessageBox(set.dialog, QMessageBox::Warning, QStringLiteral("Lorvalen"),
			       QStringLiteral("Escolha um estúdio ou cole o ID."));
		return;
	}

	QString errorText;
	const QString serverUrl = set.serverEdit->text();
	const QString signalCode = set.signalCombo->currentData(Qt::UserRole).toString();
	const int width = set.widthSpin->value();
	const int height = set.heightSpin->value();
	const int fps = set.fpsSpin->value();
	const bool includeAudio = set.audioCheck->isChecked();

	if (!createOrUpdateProgramSource(serverUrl, studioId, signalCode, width, height, fps, includeAudio,
					 &errorText)) {
		// The dialog stays open with everything as the user left it, for another try.
		showMessageBox(set.dialog, QMessageBox::Critical, QStringLiteral("Lorvalen"), errorText);
		return;
	}

	showMessageBox(set.dialog, QMessageBox::Information, QStringLiteral("Lorvalen PGM"),
		       QStringLiteral("Fonte \"%1\" criada/atualizada no scene atual.")
			       .arg(buildSourceName(studioId, signalCode)));
	set.dialog->accept();
}
