#pragma once

class QComboBox;
class QLabel;
class QLineEdit;

// Asks the server typed in serverEdit for its studios, refills studioCombo and reports the outcome in
// statusLabel. Blocks in a nested event loop for at most the fetch's time limit.
void refreshStudioList(QLineEdit *serverEdit, QComboBox *studioCombo, QLabel *statusLabel);
