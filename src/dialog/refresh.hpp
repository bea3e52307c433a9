#pragma once

#include "directory/studio_directory.hpp"

#include <QString>

class QComboBox;
class QLabel;
class QLineEdit;

// Asks the server typed in serverEdit for its studios, refills studioCombo and reports the outcome in
// statusLabel. Blocks in a nested event loop for at most the fetch's time limit.
void refreshStudioList(QLineEdit *serverEdit, QComboBox *studioCombo, QLabel *statusLabel);

// The second half of a refresh, once the fetch has returned: replaces the items of studioCombo with one per
// studio and reports the outcome in statusLabel. errorText is the fetch's error text, empty when it gave none.
void showStudioList(QComboBox *studioCombo, QLabel *statusLabel, const StudioList &studios, const QString &errorText);
