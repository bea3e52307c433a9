#pragma once

#include <QString>

// Creates or updates the browser source named after the studio and signal, with its full settings, places
// it in the current scene (once), fits it to the canvas and sets its audio on or off. On failure returns
// false and, when errorText is given, puts a Portuguese message there; errorText is untouched on success.
bool createOrUpdateProgramSource(const QString &serverUrl, const QString &studioId, const QString &signalCode,
				 int width, int height, int fps, bool includeAudio, QString *errorText);
