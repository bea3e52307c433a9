#include "dialog/refresh.hpp"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QStandardItemModel>

namespace {

// What the box shows for a studio: its name, then its id in parentheses.
QString displayText(const StudioEntry &studio)
{
	return studio.name + QStringLiteral("  (") + studio.id + QLatin1Char(')');
}

// Appends one item per studio: the display text, and the id under Qt::UserRole, as QComboBox::addItem makes them.
// All rows go into the box's model at once. Added one by one, every row has the box, its popup list and its
// completer react to it (the completer re-matching its prefix each time), at several times the items' own cost.
void appendStudios(QComboBox *studioCombo, const StudioList &studios)
{
	auto *model = qobject_cast<QStandardItemModel *>(studioCombo->model());
	if (!model) {
		// A model of another kind: only addItem knows how to fill it.
		for (const StudioEntry &studio : studios)
			studioCombo->addItem(displayText(studio), studio.id);
		return;
	}
	QList<QStandardItem *> items;
	items.reserve(studios.size());
	for (const StudioEntry &studio : studios) {
		auto *item = new QStandardItem(displayText(studio));
		item->setData(studio.id, Qt::UserRole);
		items.append(item);
	}
	if (!items.isEmpty())
		model->invisibleRootItem()->appendRows(items);
}

} // namespace

void refreshStudioList(QLineEdit *serverEdit, QComboBox *studioCombo, QLabel *statusLabel)
{
	// The address goes as typed: the fetch normalises it. Until the fetch returns, the box and the label keep
	// what the previous run left.
	QString errorText;
	const StudioList studios = fetchStudios(serverEdit->text(), &errorText);
	showStudioList(studioCombo, statusLabel, studios, errorText);
}

void showStudioList(QComboBox *studioCombo, QLabel *statusLabel, const StudioList &studios, const QString &errorText)
{
	studioCombo->clear();
	appendStudios(studioCombo, studios);

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
