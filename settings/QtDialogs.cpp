#include "Dialogs.h"

#include <QInputDialog>
#include <QMessageBox>

void QtDialogs::message(const QString &text)
{
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Mirabo"), text, QMessageBox::Ok, m_parent);
    box.exec();
}

QString QtDialogs::textEntry(const QString &prompt, const QString &title, const QString &defaultText)
{
    bool ok = false;
    const QString answer
        = QInputDialog::getText(m_parent, title, prompt, QLineEdit::Normal, defaultText, &ok);
    return ok ? answer : QString();
}
