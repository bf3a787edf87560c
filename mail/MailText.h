#pragma once

#include <QString>
#include <QStringView>

#include <string>

// Text checks every mail component makes on what goes into a message or an
// SMTP command.
namespace mailtext {

// The libraries take text as UTF-8 in std::string.
[[nodiscard]] std::string utf8(const QString &text);

// True when text holds a control character (CR, LF, NUL, DEL, C1 controls)
// or a Unicode line or paragraph separator: nothing of that kind may reach a
// header field or an SMTP command.
[[nodiscard]] bool hasControlCharacter(QStringView text);

// Line breaks (CR LF, CR or LF alone) and other control characters become
// single spaces: for one-line header texts such as the subject.
[[nodiscard]] QString oneLine(const QString &text);

} // namespace mailtext
