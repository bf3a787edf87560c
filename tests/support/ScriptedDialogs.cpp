#include "ScriptedDialogs.h"

void ScriptedDialogs::message(const QString &text)
{
    messages << text;
    transcript << QStringLiteral("message: ") + text;
    if (onMessage)
        onMessage(text);
}

QString ScriptedDialogs::textEntry(const QString &prompt, const QString &title,
                                   const QString &defaultText, Echo echo)
{
    questions << Question{prompt, title, defaultText, echo};
    transcript << QStringLiteral("entry: ") + title;
    return answers.isEmpty() ? QString() : answers.takeFirst();
}

bool ScriptedDialogs::question(const QString &text, const QString &, const QString &)
{
    transcript << QStringLiteral("question: ") + text;
    return !choices.isEmpty() && choices.takeFirst();
}
