#pragma once

// Reads the next message box a user would see and dismisses it with its Ok button, as the user would.

#include <QMessageBox>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QAbstractButton;
class QTimer;

struct SeenMessageBox {
	QString title;
	QMessageBox::Icon icon = QMessageBox::NoIcon;
	QString text;
	Qt::TextFormat textFormat = Qt::AutoText;
	QMessageBox::StandardButtons buttons;
	QWidget *parent = nullptr;
	// Whether the window the box came up over was still visible while the box was up.
	bool belowVisible = false;
};

class MessageBoxReader {
public:
	// Starts watching (polling, for at most timeoutMs) for the next visible modal message box, which is
	// expected over `below`.
	explicit MessageBoxReader(QWidget *below, int timeoutMs = 15000);
	// Stops watching.
	~MessageBoxReader();
	MessageBoxReader(const MessageBoxReader &) = delete;
	MessageBoxReader &operator=(const MessageBoxReader &) = delete;

	// The box, once one has been read and dismissed.
	const std::optional<SeenMessageBox> &seen() const { return *seen_; }

private:
	QPointer<QTimer> timer_;
	std::shared_ptr<std::optional<SeenMessageBox>> seen_;
};

// Runs the user's action (a click, a key) and reads and dismisses the message box it brings up over `below`;
// nothing when no box came up.
std::optional<SeenMessageBox> readMessageBoxAfter(const std::function<void()> &userAction, QWidget *below);

// The same for a click on the button.
std::optional<SeenMessageBox> clickAndReadMessageBox(QAbstractButton *button, QWidget *below);
