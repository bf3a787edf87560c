#pragma once

#include <QString>

class QLineEdit;
class QWidget;

// The two modal dialogues the program asks questions with. Tests answer them
// through their own implementation.
class Dialogs
{
public:
    // How the edit field shows what is typed: as it is, or each character
    // as "*".
    enum class Echo { Normal, Password };

    virtual ~Dialogs() = default;
    // OK only, no icon, caption "Mirabo".
    virtual void message(const QString &text) = 0;
    // OK returns the field's text, Cancel the empty string.
    [[nodiscard]] virtual QString textEntry(const QString &prompt, const QString &title,
                                            const QString &defaultText,
                                            Echo echo = Echo::Normal) = 0;
    // Two buttons, no icon, caption "Mirabo"; true when the first was chosen.
    [[nodiscard]] virtual bool question(const QString &text, const QString &first,
                                        const QString &second) = 0;
};

class QtDialogs : public Dialogs
{
public:
    void setParent(QWidget *parent) { m_parent = parent; }
    void message(const QString &text) override;
    QString textEntry(const QString &prompt, const QString &title, const QString &defaultText,
                      Echo echo = Echo::Normal) override;
    bool question(const QString &text, const QString &first, const QString &second) override;

private:
    QWidget *m_parent = nullptr;
};

// Makes a password box show "*" for each character, whatever mark the style
// would use.
void showPasswordAsStars(QLineEdit *edit);
