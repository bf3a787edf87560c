#include "Dialogs.h"

#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>

void QtDialogs::message(const QString &text)
{
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Mirabo"), text, QMessageBox::Ok, m_parent);
    box.exec();
}

QString QtDialogs::textEntry(const QString &prompt, const QString &title, const QString &defaultText,
                             Echo echo)
{
    QInputDialog dialog(m_parent);
    dialog.setInputMode(QInputDialog::TextInput);
    dialog.setWindowTitle(title);
    dialog.setLabelText(prompt);
    dialog.setTextValue(defaultText);
    if (echo == Echo::Password) {
        dialog.setTextEchoMode(QLineEdit::Password);
        if (auto *edit = dialog.findChild<QLineEdit *>())
            showPasswordAsStars(edit);
    }
    return dialog.exec() == QDialog::Accepted ? dialog.textValue() : QString();
}

void showPasswordAsStars(QLineEdit *edit)
{
    edit->setEchoMode(QLineEdit::Password);
    edit->setStyleSheet(QStringLiteral("lineedit-password-character: %1").arg(int(u'*')));
}
