#include "support/http_server.hpp"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <limits>

#include <sys/socket.h>

namespace {

// Fast bodies go out in pieces of this size, and only while less than kHighWater bytes wait in the socket: the
// peer's pace sets the server's, and an endless body never piles up in memory.
constexpr qint64 kPiece = 256 * 1024;
constexpr qint64 kHighWater = 1024 * 1024;

QByteArray firstLine(const QByteArray &head)
{
	const int end = head.indexOf("\r\n");
	return end < 0 ? head : head.left(end);
}

QByteArray targetOf(const QByteArray &head)
{
	return firstLine(head).split(' ').value(1);
}

// `count` bytes of the answer's body from `offset` on (fewer at its end).
QByteArray bodyPiece(const HttpAnswer &answer, qint64 offset, qint64 count)
{
	const qint64 bodyEnd = answer.body.size();
	const qint64 fillEnd = answer.fillBytes < 0 ? std::numeric_limits<qint64>::max() : bodyEnd + answer.fillBytes;
	QByteArray out;
	out.reserve(static_cast<int>(count));
	while (count > 0) {
		qint64 n = 0;
		if (offset < bodyEnd) {
			n = std::min(count, bodyEnd - offset);
			out.append(answer.body.constData() + offset, static_cast<int>(n));
		} else if (offset < fillEnd) {
			n = std::min(count, fillEnd - offset);
			out.append(QByteArray(static_cast<int>(n), answer.fill));
		} else {
			const qint64 inTail = offset - fillEnd;
			n = std::min(count, answer.tail.size() - inTail);
			if (n <= 0)
				break;
			out.append(answer.tail.constData() + inTail, static_cast<int>(n));
		}
		offset += n;
		count -= n;
	}
	return out;
}

bool hasHeader(const HttpAnswer &answer, const QByteArray &name)
{
	return std::any_of(answer.headers.begin(), answer.headers.end(),
			   [&](const QPair<QByteArray, QByteArray> &h) { return h.first.toLower() == name; });
}

} // namespace

qint64 HttpAnswer::bodyLength() const
{
	return fillBytes < 0 ? -1 : body.size() + fillBytes + tail.size();
}

HttpAnswer HttpAnswer::json(const QByteArray &body, int status, const QByteArray &reason)
{
	HttpAnswer a;
	a.status = status;
	a.reason = reason;
	a.headers = {{"Content-Type", "application/json"}};
	a.body = body;
	return a;
}

HttpAnswer HttpAnswer::redirect(const QByteArray &location, int status)
{
	HttpAnswer a;
	a.status = status;
	a.reason = "Found";
	a.headers = {{"Location", location}};
	return a;
}

HttpAnswer HttpAnswer::silence()
{
	HttpAnswer a;
	a.silent = true;
	return a;
}

HttpAnswer HttpAnswer::padded(const QByteArray &head, qint64 totalBytes, const QByteArray &tail)
{
	HttpAnswer a = json(head);
	a.fillBytes = totalBytes - head.size() - tail.size();
	a.tail = tail;
	return a;
}

HttpAnswer HttpAnswer::trickle(const QByteArray &body, int chunkBytes, int intervalMs)
{
	HttpAnswer a = json(body);
	a.fillBytes = -1;
	a.chunkBytes = chunkBytes;
	a.intervalMs = intervalMs;
	return a;
}

struct HttpTestServer::Connection {
	QTcpSocket *socket = nullptr;
	QByteArray received;
	bool answering = false;
	HttpAnswer answer;
	qint64 sent = 0;
	qint64 limit = -1; // body bytes before the ending; -1: none
	QTimer *ticker = nullptr;
	bool done = false;      // the ending has been reached
	bool resetting = false; // waiting for written bytes to leave before the reset
	bool closed = false;
};

HttpTestServer::HttpTestServer(quint16 port) : server_(new QTcpServer)
{
	otherwise_.status = 404;
	otherwise_.reason = "Not Found";
	QObject::connect(server_.get(), &QTcpServer::newConnection, server_.get(), [this]() { accept(); });
	server_->listen(QHostAddress::LocalHost, port);
}

HttpTestServer::~HttpTestServer()
{
	// The sockets are the server's children; silence them first so that none reports to a half-gone object.
	for (QTcpSocket *socket : server_->findChildren<QTcpSocket *>())
		socket->disconnect();
	server_.reset();
}

bool HttpTestServer::isListening() const
{
	return server_->isListening();
}

quint16 HttpTestServer::port() const
{
	return server_->serverPort();
}

QString HttpTestServer::url() const
{
	return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

void HttpTestServer::serve(const QByteArray &target, const HttpAnswer &answer)
{
	answers_.insert(target, answer);
}

void HttpTestServer::serveOtherwise(const HttpAnswer &answer)
{
	otherwise_ = answer;
}

QList<QByteArray> HttpTestServer::requestLines() const
{
	QList<QByteArray> lines;
	for (const QByteArray &head : heads_)
		lines.append(firstLine(head));
	return lines;
}

QList<QByteArray> HttpTestServer::targets() const
{
	QList<QByteArray> targets;
	for (const QByteArray &head : heads_)
		targets.append(targetOf(head));
	return targets;
}

QList<QByteArray> HttpTestServer::requestHeads() const
{
	return heads_;
}

int HttpTestServer::connectionsAccepted() const
{
	return accepted_;
}

qint64 HttpTestServer::bodyBytesSent() const
{
	return bodyBytesSent_;
}

int HttpTestServer::openConnections() const
{
	return open_;
}

bool HttpTestServer::waitUntil(const std::function<bool()> &done, int timeoutMs)
{
	return QTest::qWaitFor(done, timeoutMs);
}

void HttpTestServer::accept()
{
	while (QTcpSocket *socket = server_->nextPendingConnection()) {
		++accepted_;
		++open_;
		auto connection = std::make_shared<Connection>();
		connection->socket = socket;
		QObject::connect(socket, &QIODevice::readyRead, socket, [this, connection]() {
			const QByteArray data = connection->socket->readAll();
			if (connection->answering)
				return; // a request body, or a second request on a connection that is about to close
			connection->received += data;
			const int end = connection->received.indexOf("\r\n\r\n");
			if (end >= 0)
				startAnswer(connection, connection->received.left(end));
		});
		QObject::connect(socket, &QIODevice::bytesWritten, socket, [this, connection]() {
			if (connection->answer.chunkBytes <= 0 || connection->resetting)
				pump(connection);
		});
		QObject::connect(socket, &QAbstractSocket::disconnected, socket, [this, connection]() {
			if (!connection->closed) {
				connection->closed = true;
				--open_;
			}
			if (connection->ticker)
				connection->ticker->stop();
			connection->socket->deleteLater();
		});
	}
}

void HttpTestServer::startAnswer(const std::shared_ptr<Connection> &connection, const QByteArray &head)
{
	heads_.append(head);
	connection->answering = true;
	connection->answer = answers_.value(targetOf(head), otherwise_);
	const HttpAnswer &answer = connection->answer;
	if (answer.silent)
		return;

	QByteArray out = answer.rawHead;
	const qint64 length = answer.bodyLength();
	if (out.isEmpty()) {
		out = "HTTP/1.1 " + QByteArray::number(answer.status) + ' ' + answer.reason + "\r\n";
		for (const auto &header : answer.headers)
			out += header.first + ": " + header.second + "\r\n";
		if (answer.contentLength && length >= 0 && !hasHeader(answer, "content-length") &&
		    !hasHeader(answer, "transfer-encoding"))
			out += "Content-Length: " + QByteArray::number(length) + "\r\n";
		if (!hasHeader(answer, "connection"))
			out += "Connection: close\r\n";
		out += "\r\n";
	}
	connection->socket->write(out);

	if (answer.endAfter >= 0)
		connection->limit = length >= 0 ? std::min(answer.endAfter, length) : answer.endAfter;
	else
		connection->limit = length;
	if (answer.chunkBytes > 0) {
		connection->ticker = new QTimer(connection->socket);
		connection->ticker->setInterval(answer.intervalMs);
		QObject::connect(connection->ticker, &QTimer::timeout, connection->socket,
				 [this, connection]() { pump(connection); });
		connection->ticker->start();
	}
	pump(connection);
}

void HttpTestServer::pump(const std::shared_ptr<Connection> &connection)
{
	if (connection->closed)
		return;
	QTcpSocket *socket = connection->socket;
	if (connection->resetting) {
		if (socket->bytesToWrite() == 0) {
			connection->resetting = false;
			// A zero linger time makes the close send RST instead of FIN.
			const linger hard{1, 0};
			setsockopt(static_cast<int>(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard,
				   sizeof hard);
			socket->abort();
		}
		return;
	}
	if (connection->done)
		return;

	const HttpAnswer &answer = connection->answer;
	auto remaining = [&]() {
		return connection->limit < 0 ? std::numeric_limits<qint64>::max()
					     : connection->limit - connection->sent;
	};
	auto send = [&](qint64 count) {
		const QByteArray piece = bodyPiece(answer, connection->sent, count);
		socket->write(piece);
		connection->sent += piece.size();
		bodyBytesSent_ += piece.size();
	};
	if (answer.chunkBytes > 0) {
		if (remaining() > 0)
			send(std::min<qint64>(answer.chunkBytes, remaining()));
	} else {
		while (remaining() > 0 && socket->bytesToWrite() < kHighWater)
			send(std::min(kPiece, remaining()));
	}
	if (remaining() <= 0)
		finish(connection);
}

void HttpTestServer::finish(const std::shared_ptr<Connection> &connection)
{
	connection->done = true;
	if (connection->ticker)
		connection->ticker->stop();
	switch (connection->answer.ending) {
	case HttpAnswer::Ending::Complete:
	case HttpAnswer::Ending::Close:
		connection->socket->disconnectFromHost(); // after what is still buffered has been written
		break;
	case HttpAnswer::Ending::Reset:
		connection->resetting = true;
		pump(connection);
		break;
	case HttpAnswer::Ending::Hang:
		break;
	}
}
