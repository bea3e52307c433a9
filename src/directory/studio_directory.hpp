#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// One studio as the server reports it: the id as sent (never empty in a decoded list), and the name,
// or a copy of the id when the server gave no string name.
struct StudioEntry {
	QString id;
	QString name;
};

// Studios in the server's order, duplicates kept.
using StudioList = QList<StudioEntry>;

// Decodes a studio-list body: a JSON array of studio objects, or an object whose "studios" member is one.
// Anything else is a directory without studios; elements without a non-empty string "id" are skipped.
StudioList decodeStudioList(const QByteArray &body);

// GETs <normalised serverUrl>/api/studios and decodes the answer, waiting at most 2500 ms in a nested event
// loop. errorText receives the network layer's message when the request fails and is untouched otherwise
// (a time-out included); it may be null.
StudioList fetchStudios(const QString &serverUrl, QString *errorText);
