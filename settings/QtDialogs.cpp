#include "Dialogs.h"

#include <QCoreApplication>
#include <QEvent>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

void QtDialogs::message(const QString &text)
{
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Mirabo"), text, QMessageBox::Ok, m_parent);
    // Read out as the box opens, as an alert's text is.
    box.setAccessibleDescription(text);
    box.exec();
}

bool QtDialogs::question(const QString &text, const QString &first, const QString &second)
{
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Mirabo"), text, QMessageBox::NoButton, m_parent);
    box.setAccessibleDescription(text);
    QAbstractButton *firstButton = box.addButton(first, QMessageBox::AcceptRole);
    box.setDefaultButton(box.addButton(second, QMessageBox::RejectRole));
    box.exec();
    return box.clickedButton() == firstButton;
}

QString QtDialogs::textEntry(const QString &prompt, const QString &title, const QString &defaultText,
                             Echo echo)
{
    QInputDialog dialog(m_parent);
    dialog.setInputMode(QInputDialog::TextInput);
    dialog.setWindowTitle(title);
    dialog.setLabelText(prompt);
    dialog.setTextValue(defaultText);
    if (echo == Echo::Password)
        dialog.setTextEchoMode(QLineEdit::Password);
    dialog.setAccessibleDescription(prompt);
    if (auto *edit = dialog.findChild<QLineEdit *>()) {
        // The field is where the focus lands: it is named by the question.
        edit->setAccessibleName(prompt);
        // The dialog takes its width from the box: room for the whole
        // title beside the window manager's buttons.
        edit->setMinimumWidth(edit->fontMetrics().horizontalAdvance(title) * 3 / 2 + 100);
        if (echo == Echo::Password)
            showPasswordAsStars(edit);
    }
    return dialog.exec() == QDialog::Accepted ? dialog.textValue() : QString();
}

void showPasswordAsStars(QLineEdit *edit)
{
    edit->setEchoMode(QLineEdit::Password);
    edit->setStyleSheet(QStringLiteral("lineedit-password-character: %1").arg(int(u'*')));
    // A box takes its mask from the style only on a style change, which a
    // style sheet set before the box is first polished does not bring.
    edit->ensurePolished();
    QEvent changed(QEvent::StyleChange);
    QCoreApplication::sendEvent(edit, &changed);
}
