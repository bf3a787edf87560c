#pragma once

#include <QString>

namespace Module1 {

// RunAndWait's result when the program could not be started at all; any
// other value is the program's exit status (128 + signal if it was killed).
inline constexpr int kCouldNotStart = -1;

// Starts the program named by the first word of commandLine (words split as
// a shell would split double-quoted words, but with no shell and no
// expansion), lets the window draw once, then waits for it to end, however
// long that takes. With lastErrorLine, what the program writes on its error
// output is read meanwhile and the last line that is not empty is put there
// (at most a few kB of it); otherwise the error output is the caller's.
[[nodiscard]] int RunAndWait(const QString &commandLine, QString *lastErrorLine = nullptr);

} // namespace Module1
