#pragma once

#include <QStringView>

// One address in the plain local@domain form: no white space, control
// characters, brackets, quotes, commas or second "@", so that it can neither
// break out of a header field nor out of MAIL FROM:<...> / RCPT TO:<...>.
[[nodiscard]] bool isPlainMailAddress(QStringView address);
