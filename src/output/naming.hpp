#pragma once

#include <QString>

// "Lorvalen PGM — <id>", or "Lorvalen Vertical — <id>" for the signal "vpgm". The name is the source's only
// identity in OBS: one source per studio and orientation, whatever server it points at.
QString buildSourceName(const QString &studioId, const QString &signalCode);

// "<base>/out/<id>?src=<signal>", joined as text: nothing is escaped or validated.
QString buildOutputUrl(const QString &serverUrl, const QString &studioId, const QString &signalCode);
