#include "Module1.h"

#include <QEventLoop>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
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

// Owns a file descriptor.
class Descriptor
{
public:
    Descriptor() = default;
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = fd;
    }
    [[nodiscard]] int get() const { return m_fd; }
    [[nodiscard]] bool valid() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

class SpawnActions
{
public:
    SpawnActions() { m_ok = posix_spawn_file_actions_init(&m_actions) == 0; }
    ~SpawnActions()
    {
        if (m_ok)
            posix_spawn_file_actions_destroy(&m_actions);
    }
    SpawnActions(const SpawnActions &) = delete;
    SpawnActions &operator=(const SpawnActions &) = delete;
    // The pipe's end (close-on-exec) becomes the child's standard error.
    [[nodiscard]] bool redirectErrorTo(int fd)
    {
        m_used = m_ok && posix_spawn_file_actions_adddup2(&m_actions, fd, STDERR_FILENO) == 0;
        return m_used;
    }
    [[nodiscard]] const posix_spawn_file_actions_t *get() const { return m_used ? &m_actions : nullptr; }

private:
    posix_spawn_file_actions_t m_actions{};
    bool m_ok = false;
    bool m_used = false;
};

// The end of what the program wrote on its error output.
struct ErrorTail
{
    static constexpr size_t kKept = 8192;
    std::string text;
    bool exited = false;

    void append(const char *data, size_t size)
    {
        text.append(data, size);
        if (text.size() > 2 * kKept)
            text.erase(0, text.size() - kKept);
    }
    [[nodiscard]] QString lastLine() const
    {
        size_t end = text.size();
        while (end > 0) {
            const size_t start = text.find_last_of('\n', end - 1);
            const size_t from = start == std::string::npos ? 0 : start + 1;
            QString line = QString::fromLocal8Bit(text.data() + from, qsizetype(end - from)).trimmed();
            if (!line.isEmpty())
                return line;
            if (start == std::string::npos)
                break;
            end = start;
        }
        return {};
    }
};

int waitFor(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

// Reads the error output while the program runs. A program that leaves a
// child of its own holding the pipe open does not keep the caller waiting:
// once the program has ended, only what is already there is read.
ErrorTail readErrorsUntilExit(int fd, pid_t pid, int *status)
{
    constexpr int kPollMs = 100;
    ErrorTail tail;
    char buffer[4096];
    bool open = true;
    while (open && !tail.exited) {
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, kPollMs);
        if (ready > 0) {
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n > 0)
                tail.append(buffer, size_t(n));
            else if (n == 0 || errno != EINTR)
                open = false;
        } else if (ready < 0 && errno != EINTR) {
            open = false;
        }
        const pid_t done = waitpid(pid, status, WNOHANG);
        if (done == pid) {
            tail.exited = true;
        } else if (done < 0 && errno != EINTR) {
            *status = -1;
            tail.exited = true;
        }
    }
    if (tail.exited) {
        // What was written just before the end.
        const int flags = fcntl(fd, F_GETFL);
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        ssize_t n = 0;
        while ((n = read(fd, buffer, sizeof buffer)) > 0)
            tail.append(buffer, size_t(n));
    }
    return tail;
}

} // namespace

int Module1::RunAndWait(const QString &commandLine, QString *lastErrorLine)
{
    if (lastErrorLine)
        lastErrorLine->clear();
    std::vector<std::string> words = splitCommandLine(commandLine.toLocal8Bit().toStdString());
    if (words.empty())
        return kCouldNotStart;
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    Descriptor errorRead, errorWrite;
    SpawnActions actions;
    if (lastErrorLine) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return kCouldNotStart;
        errorRead.reset(fds[0]);
        errorWrite.reset(fds[1]);
        if (!actions.redirectErrorTo(errorWrite.get()))
            return kCouldNotStart;
    }

    pid_t pid = 0;
    // posix_spawnp searches PATH only for a bare name; a path is taken as is.
    if (posix_spawnp(&pid, argv[0], actions.get(), nullptr, argv.data(), environ) != 0)
        return kCouldNotStart;
    errorWrite.reset();

    // The wait is another thread's; this one goes on drawing the window and
    // running its timers. What becomes of clicks and keys meanwhile is the
    // caller's choice.
    int status = 0;
    QString lastLine;
    {
        QEventLoop loop;
        std::atomic<bool> ended = false;
        std::jthread waiter([&] {
            if (errorRead.valid()) {
                const ErrorTail tail = readErrorsUntilExit(errorRead.get(), pid, &status);
                lastLine = tail.lastLine();
                if (!tail.exited)
                    status = waitFor(pid);
            } else {
                status = waitFor(pid);
            }
            ended = true;
            QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
        });
        if (!ended)
            loop.exec();
        // The loop also ends when the application quits; the program is
        // waited for all the same.
    }
    if (lastErrorLine)
        *lastErrorLine = lastLine;
    if (status < 0)
        return kCouldNotStart;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return kCouldNotStart;
}
