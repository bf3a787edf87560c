#include "OutputFile.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// What the signal handler may remove; set only while a temporary file exists.
char g_tempPath[PATH_MAX];
volatile sig_atomic_t g_haveTempPath = 0;

void removeTempAndDie(int sig)
{
    if (g_haveTempPath)
        unlink(g_tempPath);
    signal(sig, SIG_DFL);
    raise(sig);
}

constexpr int kIoBufferSize = 64 * 1024;

// Holds the stopping signals back while the temporary file and the handler's
// note of it change together: a signal in between would leave the file.
class StopSignalsHeld
{
public:
    StopSignalsHeld()
    {
        sigset_t stopping;
        sigemptyset(&stopping);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
            sigaddset(&stopping, sig);
        sigprocmask(SIG_BLOCK, &stopping, &previous_);
    }
    ~StopSignalsHeld() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
    StopSignalsHeld(const StopSignalsHeld &) = delete;
    StopSignalsHeld &operator=(const StopSignalsHeld &) = delete;

private:
    sigset_t previous_;
};

} // namespace

void installSignalHandlers()
{
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        signal(sig, removeTempAndDie);
}

OutputFile::OutputFile(std::string path)
    : path_(std::move(path))
{
    // Everything that can fail comes before the file exists: a constructor
    // that throws runs no destructor to remove it.
    auto *buffer = static_cast<unsigned char *>(av_malloc(kIoBufferSize));
    if (!buffer)
        throw av::Error("out of memory");
    io_.reset(avio_alloc_context(buffer, kIoBufferSize, 1, this, nullptr, &OutputFile::write,
                                 &OutputFile::seek));
    if (!io_) {
        av_free(buffer);
        throw av::Error("out of memory");
    }

    std::vector<char> name(path_.begin(), path_.end());
    const std::string suffix = ".XXXXXX";
    name.insert(name.end(), suffix.begin(), suffix.end());
    name.push_back('\0');
    if (name.size() > sizeof g_tempPath)
        throw av::Error("cannot write " + path_ + ": file name too long");

    tempPath_ = name.data(); // same length as the final name: assigning that cannot throw
    {
        StopSignalsHeld held;
        fd_ = mkostemp(name.data(), O_CLOEXEC);
        if (fd_ >= 0) {
            tempPath_.assign(name.data());
            std::memcpy(g_tempPath, name.data(), name.size());
            g_haveTempPath = 1;
        }
    }
    if (fd_ < 0)
        fail(AVERROR(errno));

    // mkstemp makes the file private; the result should look like any other
    // file the user creates.
    const mode_t mask = umask(0);
    umask(mask);
    (void)fchmod(fd_, 0666 & ~mask);

}

OutputFile::~OutputFile()
{
    io_.reset();
    if (fd_ >= 0)
        close(fd_);
    if (!committed_) {
        StopSignalsHeld held;
        g_haveTempPath = 0;
        unlink(tempPath_.c_str());
    }
}

void OutputFile::commit()
{
    avio_flush(io_.get());
    if (io_->error < 0)
        fail(io_->error);
    if (fsync(fd_) != 0)
        fail(AVERROR(errno));
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0)
        fail(AVERROR(errno));
    if (rename(tempPath_.c_str(), path_.c_str()) != 0)
        fail(AVERROR(errno));
    g_haveTempPath = 0;
    committed_ = true;
}

av::IoPtr OutputFile::openReader()
{
    auto *buffer = static_cast<unsigned char *>(av_malloc(kIoBufferSize));
    if (!buffer)
        throw av::Error("out of memory");
    av::IoPtr reader(avio_alloc_context(buffer, kIoBufferSize, 0, this, &OutputFile::read, nullptr,
                                        &OutputFile::seekReader));
    if (!reader) {
        av_free(buffer);
        throw av::Error("out of memory");
    }
    readPos_ = 0;
    return reader;
}

void OutputFile::fail(int averror) const
{
    throw av::Error("cannot write " + path_ + ": " + av::errorText(averror));
}

int OutputFile::write(void *opaque, uint8_t *buf, int size)
{
    const int fd = static_cast<OutputFile *>(opaque)->fd_;
    int done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, buf + done, size - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return AVERROR(errno);
        }
        done += static_cast<int>(n);
    }
    return size;
}

int64_t OutputFile::seek(void *opaque, int64_t offset, int whence)
{
    const int fd = static_cast<OutputFile *>(opaque)->fd_;
    if (whence == AVSEEK_SIZE) {
        struct stat st {};
        return fstat(fd, &st) == 0 ? st.st_size : AVERROR(errno);
    }
    const off_t pos = lseek(fd, offset, whence & ~AVSEEK_FORCE);
    return pos < 0 ? AVERROR(errno) : pos;
}

int OutputFile::read(void *opaque, uint8_t *buf, int size)
{
    auto *file = static_cast<OutputFile *>(opaque);
    ssize_t n;
    do
        n = pread(file->fd_, buf, size, file->readPos_);
    while (n < 0 && errno == EINTR);
    if (n < 0)
        return AVERROR(errno);
    if (n == 0)
        return AVERROR_EOF;
    file->readPos_ += n;
    return static_cast<int>(n);
}

int64_t OutputFile::seekReader(void *opaque, int64_t offset, int whence)
{
    auto *file = static_cast<OutputFile *>(opaque);
    whence &= ~AVSEEK_FORCE;
    if (whence == AVSEEK_SIZE || whence == SEEK_END) {
        const int64_t size = seek(opaque, 0, AVSEEK_SIZE);
        if (size < 0 || whence == AVSEEK_SIZE)
            return size;
        offset += size;
    } else if (whence == SEEK_CUR) {
        offset += file->readPos_;
    } else if (whence != SEEK_SET) {
        return AVERROR(EINVAL);
    }
    if (offset < 0)
        return AVERROR(EINVAL);
    file->readPos_ = offset;
    return offset;
}
