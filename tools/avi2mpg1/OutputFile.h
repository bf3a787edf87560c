#pragma once

#include "Av.h"

#include <string>

// The encoder's output. It is written under a temporary name in the target's
// own folder and renamed onto the target only when complete and synced, so a
// failed, full or interrupted run never leaves a partial file under the
// target's name (an existing target stays as it was; a link at the name is
// replaced, never written through). Writing goes through
// our own file descriptor rather than FFmpeg's file protocol because that
// protocol reports neither the error of the final flush nor that of close().
class OutputFile
{
public:
    explicit OutputFile(std::string path);
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    [[nodiscard]] AVIOContext *io() const { return io_.get(); }
    [[nodiscard]] const std::string &path() const { return path_; }

    // Reads back what has been written and flushed so far, for a muxer that
    // moves data within its output (MP4's index to the front). One at a time.
    [[nodiscard]] av::IoPtr openReader();

    // Flushes, syncs, closes and renames; throws if any of it fails.
    void commit();

private:
    static int write(void *opaque, uint8_t *buf, int size);
    static int64_t seek(void *opaque, int64_t offset, int whence);
    static int read(void *opaque, uint8_t *buf, int size);
    static int64_t seekReader(void *opaque, int64_t offset, int whence);
    [[noreturn]] void fail(int averror) const;

    std::string path_;
    std::string tempPath_;
    int fd_ = -1;
    bool committed_ = false;
    int64_t readPos_ = 0;
    av::IoPtr io_;
};

// Makes a file-size limit an ordinary write error instead of a fatal signal,
// and removes the temporary output when the program is stopped by a signal.
void installSignalHandlers();
