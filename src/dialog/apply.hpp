#pragma once

#include <QString>

class QCheckBox;
class QComboBox;
class QDialog;
class QLineEdit;
class QSpinBox;

// The controls the OK action reads; the dialog owns them all.
struct ApplySet {
	QComboBox *studioCombo;
	QDialog *dialog;
	QLineEdit *serverEdit;
	QComboBox *signalCombo;
	QSpinBox *widthSpin;
	QSpinBox *heightSpin;
	QSpinBox *fpsSpin;
	QCheckBox *audioCheck;
};

// The studio id the box stands for: a listed item's id only while the box still shows that item's text
// (typing over it leaves it current in Qt), otherwise the typed text; trimmed, empty when there is none.
QString chosenStudioId(const QComboBox *studioCombo);

// The OK action: provisions the chosen studio's source, reports the outcome in a message box, and closes
// the dialog only on success.
void applySetup(const ApplySet &set);
