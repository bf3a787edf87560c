#pragma once

#include "Dialogs.h"

#include <QQueue>
#include <QStringList>
#include <functional>

// Answers the program's dialogues from a script and remembers what was asked.
class ScriptedDialogs : public Dialogs
{
public:
    struct Question
    {
        QString prompt, title, defaultText;
        Echo echo = Echo::Normal;
    };

    void message(const QString &text) override;
    QString textEntry(const QString &prompt, const QString &title, const QString &defaultText,
                      Echo echo = Echo::Normal) override;
    bool question(const QString &text, const QString &first, const QString &second) override;

    // Queued answers; a text entry asked with none left is answered by
    // Cancel, a question by its second button.
    QStringList answers;
    QList<bool> choices;
    QStringList messages;
    QList<Question> questions;
    // Everything shown, in order: "message: ...", "entry: <title>" and "question: ...".
    QStringList transcript;
    // Runs while a message is on screen, e.g. to look at the window then.
    std::function<void(const QString &)> onMessage;
};
