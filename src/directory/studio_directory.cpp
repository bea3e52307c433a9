#include "directory/studio_directory.hpp"

#include "directory/server_url.hpp"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include <algorithm>

namespace {

constexpr int kTimeoutMs = 2500;

// A real directory is a few kilobytes; 32 MiB is over 300,000 studios. A server that sends more is misbehaving, and
// holding whatever it sends would put the whole OBS process at risk during a production.
constexpr qint64 kMaxBodyBytes = qint64(32) * 1024 * 1024;

// Keeps the reply's own buffer this small: the network layer stops reading the socket until we have drained it,
// so no more than the cap plus this much is ever held.
constexpr qint64 kReplyBufferBytes = qint64(1024) * 1024;

QJsonArray studioArray(const QJsonDocument &document)
{
	if (document.isArray())
		return document.array();
	if (document.isObject()) {
		const QJsonValue studios = document.object().value(QLatin1String("studios"));
		if (studios.isArray())
			return studios.toArray();
	}
	return QJsonArray();
}

} // namespace

StudioList decodeStudioList(const QByteArray &body)
{
	const QJsonArray elements = studioArray(QJsonDocument::fromJson(body));
	StudioList studios;
	studios.reserve(elements.size());
	for (const auto &element : elements) {
		const QJsonObject studio = element.toObject();
		const QString id = studio.value(QLatin1String("id")).toString();
		if (id.isEmpty())
			continue;
		// An empty string is still a name; only a missing or non-string one falls back to the id.
		studios.append(StudioEntry{id, studio.value(QLatin1String("name")).toString(id)});
	}
	return studios;
}

StudioList fetchStudios(const QString &serverUrl, QString *errorText)
{
	// Everything below is this call's own: no connection, cookie or cache is shared with another call, and an
	// answer that comes after the call has returned goes nowhere. Declared first, the manager goes last and takes
	// an unfinished reply with it.
	QNetworkAccessManager manager;
	QNetworkRequest request(
		QUrl(normalizeServerUrl(serverUrl) + QStringLiteral("/api/studios"), QUrl::TolerantMode));
	request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
			     static_cast<int>(QNetworkRequest::NoLessSafeRedirectPolicy));
	// Left to itself, Qt asks for a compressed answer and inflates it before we see a byte (Qt 5 all of it at
	// once), so a few hundred KiB could become gigabytes past the cap. Asking for the body as it is keeps the
	// cap on what is held; a studio list is a few kilobytes either way.
	request.setRawHeader("Accept-Encoding", "identity");
	QNetworkReply *reply = manager.get(request);
	reply->setReadBufferSize(kReplyBufferBytes);

	QByteArray body;
	bool oversized = false;
	QEventLoop loop;
	// Moves what has arrived into `body`, growing it no further than the cap.
	auto drain = [&]() {
		if (oversized)
			return;
		const qint64 available = reply->bytesAvailable();
		const qint64 needed = body.size() + available;
		if (needed > kMaxBodyBytes) {
			oversized = true;
			body = QByteArray();
			loop.quit();
			return;
		}
		// Geometric growth, as append would do, but never beyond the cap.
		if (body.capacity() < needed)
			body.reserve(static_cast<int>(
				std::min(std::max<qint64>(needed, 2 * qint64(body.size())), kMaxBodyBytes)));
		body.append(reply->read(available));
	};
	// The loop is the context of every connection and the timer is this call's own, so nothing here fires after
	// the call has returned. (A timer of this length is a coarse one by default, as with QTimer::singleShot.)
	QTimer timeout;
	timeout.setSingleShot(true);
	QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
	QObject::connect(reply, &QIODevice::readyRead, &loop, drain);
	QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
	timeout.start(kTimeoutMs);
	loop.exec();

	drain();
	if (oversized)
		reply->abort(); // outside any of the reply's own signals
	const QNetworkReply::NetworkError error = reply->error();
	const QString errorString = reply->errorString();
	reply->deleteLater();

	if (oversized) {
		if (errorText)
			*errorText = QStringLiteral("resposta do servidor maior que 32 MiB");
		return StudioList();
	}
	if (error != QNetworkReply::NoError) {
		if (errorText)
			*errorText = errorString;
		return StudioList();
	}
	// On a time-out the body may be partial; an incomplete JSON text simply decodes to nothing.
	return decodeStudioList(body);
}
