#include "engine/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine/unique_fd.h"

namespace {

// Opens a regular file for reading; invalid with errno set otherwise.
UniqueFd OpenRegular(int dirfd, const char* name, struct stat* st)
{
    UniqueFd fd(openat(dirfd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd.IsValid())
        return fd;
    if (fstat(fd.Get(), st) != 0)
        return UniqueFd();
    if (!S_ISREG(st->st_mode)) {
        errno = S_ISDIR(st->st_mode) ? EISDIR : EINVAL;
        return UniqueFd();
    }
    return fd;
}

// Reads into buf; -1 on an error, 0 at the end; interruptions are retried.
ssize_t ReadSome(int fd, char* buf, size_t size)
{
    for (;;) {
        ssize_t n = read(fd, buf, size);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

}  // namespace

bool ReadFileWhole(int dirfd, const char* name, size_t limit, std::string* out)
{
    if (!name || !out)
        return false;
    struct stat st {};
    UniqueFd fd = OpenRegular(dirfd, name, &st);
    if (!fd.IsValid())
        return false;
    if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > limit) {
        errno = EFBIG;
        return false;
    }
    std::string bytes;
    char buf[65536];
    for (;;) {
        ssize_t n = ReadSome(fd.Get(), buf, sizeof buf);
        if (n < 0)
            return false;
        if (n == 0)
            break;
        // The file may have grown since it was measured.
        if (bytes.size() + static_cast<size_t>(n) > limit) {
            errno = EFBIG;
            return false;
        }
        bytes.append(buf, static_cast<size_t>(n));
    }
    *out = std::move(bytes);
    return true;
}

bool ReadSmallFile(int dirfd, const char* name, size_t limit, std::string* out)
{
    if (ReadFileWhole(dirfd, name, limit, out))
        return true;
    if (errno != ENOENT)
        return false;
    out->clear();
    return true;
}

bool ReadDocumentFile(const char* path, std::string& text)
{
    std::string bytes;
    if (!ReadFileWhole(AT_FDCWD, path, kMaxDocumentFileSize, &bytes))
        return false;
    size_t zero = bytes.find('\0');
    if (zero != std::string::npos)
        bytes.resize(zero);
    text = std::move(bytes);
    return true;
}

bool ReadLineFile(int dirfd, const char* name, size_t lineMax, std::string* out)
{
    out->clear();
    struct stat st {};
    UniqueFd fd = OpenRegular(dirfd, name, &st);
    if (!fd.IsValid())
        return errno == ENOENT;
    char buf[65536];
    size_t lineStart = 0;
    bool overlong = false;
    for (;;) {
        ssize_t n = ReadSome(fd.Get(), buf, sizeof buf);
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        const char* p = buf;
        const char* end = buf + n;
        while (p < end) {
            const char* nl = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
            const char* stop = nl ? nl : end;
            if (!overlong) {
                out->append(p, static_cast<size_t>(stop - p));
                if (out->size() - lineStart > lineMax) {
                    out->resize(lineStart);
                    out->push_back('#');
                    overlong = true;
                }
            }
            if (!nl)
                break;
            out->push_back('\n');
            lineStart = out->size();
            overlong = false;
            p = nl + 1;
        }
    }
}

bool WriteFileAtomic(int dirfd, const char* name, std::string_view content)
{
    if (!name || !*name) {
        errno = EINVAL;
        return false;
    }
    // Only a regular file is replaced: a device, a FIFO or a folder in the
    // file's place is a failure to report, never something to write over.
    struct stat st {};
    if (fstatat(dirfd, name, &st, 0) == 0 && !S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    std::string tmp = std::string(name) + ".tmp";
    // Non-blocking and never through a link: whatever sits at the temporary
    // name is replaced, not written into.
    unlinkat(dirfd, tmp.c_str(), 0);
    UniqueFd fd(openat(dirfd, tmp.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644));
    if (!fd.IsValid())
        return false;
    bool ok = true;
    while (ok && !content.empty()) {
        ssize_t n = write(fd.Get(), content.data(), content.size());
        if (n > 0)
            content.remove_prefix(static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            ok = false;
    }
    // The data must be on disk before the rename makes it the file.
    ok = ok && fsync(fd.Get()) == 0;
    ok = close(fd.Release()) == 0 && ok;
    if (ok && renameat(dirfd, tmp.c_str(), dirfd, name) == 0)
        return true;
    int err = errno;
    unlinkat(dirfd, tmp.c_str(), 0);
    errno = err;
    return false;
}
