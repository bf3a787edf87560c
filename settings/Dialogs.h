#pragma once

#include <QString>

class QWidget;

// The two modal dialogues the program asks questions with. Tests answer them
// through their own implementation.
class Dialogs
{
public:
    virtual ~Dialogs() = default;
    // OK only, no icon, caption "Mirabo".
    virtual void message(const QString &text) = 0;
    // OK returns the field's text, Cancel the empty string.
    [[nodiscard]] virtual QString textEntry(const QString &prompt, const QString &title,
                                            const QString &defaultText) = 0;
};

class QtDialogs : public Dialogs
{
public:
    void setParent(QWidget *parent) { m_parent = parent; }
    void message(const QString &text) override;
    QString textEntry(const QString &prompt, const QString &title,
                      const QString &defaultText) override;

private:
    QWidget *m_parent = nullptr;
};
