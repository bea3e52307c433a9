#pragma once

// A small HTTP/1.1 server on 127.0.0.1 for tests. It lives in the test's thread, so it answers while the code
// under test runs any event loop (a nested one included). Each request is matched by its exact target (path and
// query, as in the request line) to a canned answer; every answer closes its connection.

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPair>
#include <QString>

#include <functional>
#include <memory>

class QTcpServer;

// How one request is answered. The body is `body`, then `fillBytes` copies of `fill` (-1: without end), then
// `tail`; it is generated as the socket drains, so a body of any size costs no memory.
struct HttpAnswer {
	// What happens once `endAfter` body bytes have gone out (the whole body when endAfter is -1).
	enum class Ending {
		Complete, // the connection is closed in good order
		Close,    // the same, but meant for a body cut short of its Content-Length
		Reset,    // the connection is reset (RST) once the bytes before it have left
		Hang,     // nothing more is sent and the connection stays open
	};

	int status = 200;
	QByteArray reason = "OK";
	// Sent in this order after the status line. Content-Length and "Connection: close" are added unless given here
	// (or, for Content-Length, unless the body is endless, `contentLength` is false, or a Transfer-Encoding is set).
	QList<QPair<QByteArray, QByteArray>> headers;
	bool contentLength = true;
	// When not empty: sent verbatim in place of the status line and every header, blank line included.
	QByteArray rawHead;

	QByteArray body;
	char fill = ' ';
	qint64 fillBytes = 0;
	QByteArray tail;

	// When chunkBytes > 0 the body goes out in pieces of that many bytes, one every intervalMs; otherwise as fast
	// as the peer takes it.
	int chunkBytes = 0;
	int intervalMs = 0;

	Ending ending = Ending::Complete;
	qint64 endAfter = -1;

	// Reads the request and never answers; the connection stays open until the peer gives up.
	bool silent = false;

	// The body's whole length, or -1 when it has no end.
	qint64 bodyLength() const;

	static HttpAnswer json(const QByteArray &body, int status = 200, const QByteArray &reason = "OK");
	static HttpAnswer redirect(const QByteArray &location, int status = 302);
	static HttpAnswer silence();
	// A body of exactly `totalBytes`: head, blanks, tail (for a valid JSON text of a chosen size).
	static HttpAnswer padded(const QByteArray &head, qint64 totalBytes, const QByteArray &tail);
	// Headers, then `body` one `chunkBytes` piece every `intervalMs`, then blanks for ever.
	static HttpAnswer trickle(const QByteArray &body, int chunkBytes, int intervalMs);
};

class HttpTestServer {
public:
	// Listens on 127.0.0.1 at `port`; 0 picks a free one. Check isListening() when asking for a fixed port.
	explicit HttpTestServer(quint16 port = 0);
	~HttpTestServer();
	HttpTestServer(const HttpTestServer &) = delete;
	HttpTestServer &operator=(const HttpTestServer &) = delete;

	bool isListening() const;
	quint16 port() const;
	// "http://127.0.0.1:<port>"
	QString url() const;

	// Answers requests for `target` (e.g. "/api/studios") with `answer`, replacing an earlier one.
	void serve(const QByteArray &target, const HttpAnswer &answer);
	// Answers every target without its own answer; "404 Not Found" with an empty body until set.
	void serveOtherwise(const HttpAnswer &answer);

	// Received so far, oldest first: request lines ("GET /x HTTP/1.1"), their targets, and whole request heads.
	QList<QByteArray> requestLines() const;
	QList<QByteArray> targets() const;
	QList<QByteArray> requestHeads() const;
	int connectionsAccepted() const;
	// Body bytes written to sockets so far, across all connections.
	qint64 bodyBytesSent() const;
	// Connections accepted and not yet closed by either side.
	int openConnections() const;

	// Runs the event loop until `done` holds or timeoutMs pass; returns whether it holds.
	static bool waitUntil(const std::function<bool()> &done, int timeoutMs = 5000);

private:
	struct Connection;
	void accept();
	void startAnswer(const std::shared_ptr<Connection> &connection, const QByteArray &head);
	void pump(const std::shared_ptr<Connection> &connection);
	void finish(const std::shared_ptr<Connection> &connection);

	std::unique_ptr<QTcpServer> server_;
	QHash<QByteArray, HttpAnswer> answers_;
	HttpAnswer otherwise_;
	QList<QByteArray> heads_;
	int accepted_ = 0;
	int open_ = 0;
	qint64 bodyBytesSent_ = 0;
};
