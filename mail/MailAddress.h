#pragma once

#include <QString>
#include <QStringView>

// One address in the plain local@domain form: no white space, control
// characters, brackets, quotes, commas or second "@", so that it can neither
// break out of a header field nor out of MAIL FROM:<...> / RCPT TO:<...>.
[[nodiscard]] bool isPlainMailAddress(QStringView address);

// The one rule for what can be sent to or from: a plain address, ASCII
// before the "@" (other addresses need the server's SMTPUTF8, which cannot be
// relied on), a valid domain, no "=?" (a mail reader would decode it into
// another address than the envelope's), and within SMTP's lengths in its
// ASCII form: 64 before the "@", 255 after it, 254 in all. Empty when it can
// be sent; else why not, as words that follow "The address ...".
[[nodiscard]] QString whyNotSendable(const QString &address);

// A domain or host name in its IDNA (ASCII) form, as DNS and certificates
// hold it; an ASCII one as it is; empty when it is no valid name.
[[nodiscard]] QString asciiDomain(const QString &domain);

// The address with an international domain in its IDNA (ASCII) form, as DNS,
// the envelope and the header need it; empty when the domain is no valid name.
[[nodiscard]] QString withAsciiDomain(const QString &address);
