#include "support/modal_driver.hpp"

#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <memory>

void onNextModal(const std::function<void(QWidget *)> &action, const QWidget *other, int timeoutMs)
{
	auto timer = new QTimer(qApp);
	auto clock = std::make_shared<QElapsedTimer>();
	QPointer<const QWidget> skip(other);
	const bool skipping = other != nullptr;
	clock->start();
	timer->setInterval(10);
	QObject::connect(timer, &QTimer::timeout, qApp, [=]() {
		QWidget *modal = QApplication::activeModalWidget();
		const bool isOther = skipping && (skip.isNull() || modal == skip.data());
		if (modal && modal->isVisible() && !isOther) {
			timer->stop();
			timer->deleteLater();
			action(modal);
		} else if (clock->elapsed() > timeoutMs) {
			timer->stop();
			timer->deleteLater();
		}
	});
	timer->start();
}

bool readyForKeys(QWidget *widget, int timeoutMs)
{
	QWidget *window = widget->window();
	return QTest::qWaitFor(
		[&]() {
			if (QApplication::activeWindow() != window)
				window->activateWindow();
			else if (!widget->hasFocus())
				widget->setFocus(Qt::OtherFocusReason);
			return QApplication::activeWindow() == window && widget->hasFocus();
		},
		timeoutMs);
}
