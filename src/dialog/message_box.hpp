#pragma once

#include <QMessageBox>

// A modal message box with a single Ok button, as QMessageBox's static functions show it, except that the
// text is always plain: it can carry a studio id or a server's words, which must never render as markup.
void showMessageBox(QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &text);
