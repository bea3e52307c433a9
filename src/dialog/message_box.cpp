#include "dialog/message_box.hpp"

void showMessageBox(QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &text)
{
	QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
	box.setTextFormat(Qt::PlainText);
	box.exec();
}
