#pragma once

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

// The OK action: provisions the chosen studio's source, reports the outcome in a message box, and closes
// the dialog only on success.
void applySetup(const ApplySet &set);
