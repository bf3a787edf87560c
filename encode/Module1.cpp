#include "Module1.h"

#include <QCoreApplication>

#include <cerrno>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char **environ;

namespace {

// Words are separated by white space; double quotes group a word (and are
// dropped); \" stands for a quote character. Nothing else is special.
std::vector<std::string> splitCommandLine(const std::string &line)
{
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\\' && i + 1 < line.size() && line[i + 1] == '"') {
            word += '"';
            inWord = true;
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && (c == ' ' || c == '\t' || c == '\n' || c == '\r')) {
            if (inWord)
                words.push_back(std::move(word));
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words.push_back(std::move(word));
    return words;
}

} // namespace

int Module1::RunAndWait(const QString &commandLine)
{
    std::vector<std::string> words = splitCommandLine(commandLine.toLocal8Bit().toStdString());
    if (words.empty())
        return kCouldNotStart;
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    pid_t pid = 0;
    // posix_spawnp searches PATH only for a bare name; a path is taken as is.
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return kCouldNotStart;

    // The window draws what the caller changed just before it freezes.
    QCoreApplication::processEvents();

    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return kCouldNotStart;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return kCouldNotStart;
}
