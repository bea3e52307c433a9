#pragma once

class QCheckBox;
class QComboBox;
class QDialog;
class QDialogButtonBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

// The dialog's controls, all owned by the dialog.
struct SetupControls {
	QLineEdit *serverEdit;
	QComboBox *studioCombo;
	QLabel *statusLabel;
	QPushButton *refreshButton;
	QComboBox *signalCombo;
	QSpinBox *widthSpin;
	QSpinBox *heightSpin;
	QSpinBox *fpsSpin;
	QCheckBox *audioCheck;
	QDialogButtonBox *buttonBox;
};

// Builds the rows, defaults and connections of the setup dialog on a new, empty dialog.
SetupControls buildSetupDialog(QDialog *dialog);

// Runs one whole setup dialog over OBS's main window: build, first studio refresh, modal run, destroy.
void showSetupDialog();
