#include "support/message_box_reader.hpp"

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

MessageBoxReader::MessageBoxReader(QWidget *below, int timeoutMs)
	: timer_(new QTimer(qApp)),
	  seen_(std::make_shared<std::optional<SeenMessageBox>>())
{
	auto clock = std::make_shared<QElapsedTimer>();
	clock->start();
	QPointer<QWidget> under(below);
	QTimer *timer = timer_;
	auto seen = seen_;
	timer->setInterval(10);
	QObject::connect(timer, &QTimer::timeout, timer, [=]() {
		auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
		if (box && box->isVisible()) {
			timer->stop();
			SeenMessageBox read;
			read.title = box->windowTitle();
			read.icon = box->icon();
			read.text = box->text();
			read.textFormat = box->textFormat();
			read.buttons = box->standardButtons();
			read.parent = box->parentWidget();
			read.belowVisible = under && under->isVisible();
			*seen = read;
			QAbstractButton *ok = box->button(QMessageBox::Ok);
			if (ok)
				QTest::mouseClick(ok, Qt::LeftButton);
			else
				box->reject();
			timer->deleteLater();
		} else if (clock->elapsed() > timeoutMs) {
			timer->stop();
			timer->deleteLater();
		}
	});
	timer->start();
}

MessageBoxReader::~MessageBoxReader()
{
	if (timer_) {
		timer_->stop();
		timer_->deleteLater();
	}
}

std::optional<SeenMessageBox> readMessageBoxAfter(const std::function<void()> &userAction, QWidget *below)
{
	MessageBoxReader reader(below);
	// The box runs its own modal loop inside the action; the reader dismisses it from there.
	userAction();
	return reader.seen();
}

std::optional<SeenMessageBox> clickAndReadMessageBox(QAbstractButton *button, QWidget *below)
{
	return readMessageBoxAfter([button]() { QTest::mouseClick(button, Qt::LeftButton); }, below);
}
