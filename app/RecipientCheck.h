#pragma once

#include <QString>

// True when text is one plain e-mail address (local@domain) with nothing that
// could break out of a mail header or an SMTP command: no white space or
// control characters, no second address, no display name or brackets.
[[nodiscard]] bool isSinglePlainAddress(const QString &text);
