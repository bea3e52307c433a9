#include "dialog/refresh.hpp"

#include "directory/studio_directory.hpp"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>

void refreshStudioList(QLineEdit *serverEdit, QComboBox *studioCombo, QLabel *statusLabel)
{
	// The address goes as typed: the fetch normalises it. Until the fetch returns, the box and the label keep
	// what the previous run left.
	QString errorText;
	const StudioList studios = fetchStudios(serverEdit->text(), &errorText);

	studioCombo->clear();
	for (const StudioEntry &studio : studios)
		studioCombo->addItem(studio.name + QStringLiteral("  (") + studio.id + QLatin1Char(')'), studio.id);

	if (!studios.isEmpty()) {
		statusLabel->setText(QStringLiteral("%1 estúdio(s) encontrado(s).").arg(qint64(studios.size())));
		studioCombo->setCurrentIndex(0);
		return;
	}
	// Whatever the user had typed goes too, so that the box never shows a stale choice.
	studioCombo->setEditText(QString());
	if (!errorText.isEmpty())
		statusLabel->setText(QStringLiteral("Não foi possível consultar o Lorvalen: %1").arg(errorText));
	else
		statusLabel->setText(QStringLiteral("Nenhum estúdio encontrado. Abra o Lorvalen ou cole o ID abaixo."));
}
