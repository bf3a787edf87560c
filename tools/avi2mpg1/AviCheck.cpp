#include "AviCheck.h"

#include "Av.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class File
{
public:
    explicit File(const std::string &path)
        : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK))
    {
    }
    ~File()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    File(const File &) = delete;
    File &operator=(const File &) = delete;

    [[nodiscard]] int fd() const { return fd_; }

    // A chunk header: four letters, a little-endian size, and for RIFF and
    // LIST the four letters of its type.
    struct Chunk
    {
        char id[4] = {};
        uint64_t size = 0;
        char type[4] = {};
        [[nodiscard]] bool is(const char *name) const { return std::memcmp(id, name, 4) == 0; }
        [[nodiscard]] bool isList(const char *name) const
        {
            return is("LIST") && std::memcmp(type, name, 4) == 0;
        }
        [[nodiscard]] bool isRiff(const char *name) const
        {
            return is("RIFF") && std::memcmp(type, name, 4) == 0;
        }
    };

    [[nodiscard]] bool chunkAt(uint64_t pos, Chunk &chunk) const
    {
        unsigned char bytes[12];
        const ssize_t n = pread(fd_, bytes, sizeof bytes, static_cast<off_t>(pos));
        if (n < 8)
            return false;
        std::memcpy(chunk.id, bytes, 4);
        chunk.size = uint64_t(bytes[4]) | uint64_t(bytes[5]) << 8 | uint64_t(bytes[6]) << 16
                     | uint64_t(bytes[7]) << 24;
        if (n == 12)
            std::memcpy(chunk.type, bytes + 8, 4);
        return true;
    }

private:
    int fd_;
};

uint64_t next(uint64_t pos, uint64_t size)
{
    return pos + 8 + size + (size & 1);
}

// Whether the chunks between from and to hold the named chunk; with
// `inHeaders`, inside the header and stream lists as well.
bool holds(const File &file, uint64_t from, uint64_t to, const char *name, bool inHeaders)
{
    for (uint64_t pos = from; pos + 8 <= to;) {
        File::Chunk chunk;
        if (!file.chunkAt(pos, chunk) || pos + 8 + chunk.size > to)
            return false;
        if (chunk.is(name))
            return true;
        if (inHeaders && (chunk.isList("hdrl") || chunk.isList("strl")) && chunk.size >= 4
            && holds(file, pos + 12, pos + 8 + chunk.size, name, inHeaders))
            return true;
        pos = next(pos, chunk.size);
    }
    return false;
}

} // namespace

void checkAviIsWhole(const std::string &path)
{
    const File file(path);
    struct stat st {};
    if (file.fd() < 0 || fstat(file.fd(), &st) != 0 || !S_ISREG(st.st_mode))
        return;
    const auto size = static_cast<uint64_t>(st.st_size);

    File::Chunk first;
    if (!file.chunkAt(0, first) || !first.isRiff("AVI "))
        return;
    const auto truncated = [&](const char *why) {
        throw av::Error(path + " is truncated: " + why);
    };
    int parts = 0;
    for (uint64_t pos = 0; pos < size; ++parts) {
        File::Chunk riff;
        if (!file.chunkAt(pos, riff) || !riff.isRiff(parts == 0 ? "AVI " : "AVIX"))
            truncated("it ends without its index (the recording was not finished)");
        if (pos + 8 + riff.size > size)
            truncated("it is shorter than its headers say");
        pos = next(pos, riff.size);
    }
    const uint64_t firstEnd = 8 + first.size;
    const bool indexed = holds(file, 12, firstEnd, "idx1", false)
                         || (parts > 1 && holds(file, 12, firstEnd, "indx", true));
    if (!indexed)
        truncated("it ends without its index (the recording was not finished)");
}
