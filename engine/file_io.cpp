#include "engine/file_io.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

// The path a message names for dir/name: the folder behind dirfd, when
// there is one, joined to the name.
std::string PathOf(int dirfd, const char* name)
{
    if (!name || !*name)
        return "a file";
    if (dirfd == AT_FDCWD || name[0] == '/')
        return name;
    char link[32];
    snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
    char dir[PATH_MAX];
    ssize_t n = readlink(link, dir, sizeof dir);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof dir)
        return name;
    std::string path(dir, static_cast<size_t>(n));
    return path == "/" ? path + name : path + "/" + name;
}

std::string ReasonOf(int err)
{
    if (err == EISDIR)
        return "it is a folder";
    char text[128];
    return strerror_r(err, text, sizeof text);
}

// Why OpenRegular failed, as a message's reason.
std::string OpenReason(int err)
{
    return err == EINVAL ? "it is not a regular file" : ReasonOf(err);
}

// Tells the failure in *error, when asked for, leaving errno as it was.
// Always false.
bool Fail(std::string* error, const char* verb, int dirfd, const char* name, const std::string& reason)
{
    const int err = errno;
    if (error)
        *error = std::string("cannot ") + verb + " " + PathOf(dirfd, name) + ": " + reason;
    errno = err;
    return false;
}

bool FailRead(std::string* error, int dirfd, const char* name)
{
    return Fail(error, "read", dirfd, name, ReasonOf(errno));
}

// A file over the limit; size 0 when it grew past the limit while read.
bool FailTooLarge(std::string* error, int dirfd, const char* name, uint64_t size, size_t limit)
{
    errno = EFBIG;
    const std::string measured = size ? SizeText(size) + ", " : "";
    return Fail(error, "read", dirfd, name, "file too large (" + measured + "the limit is " + SizeText(limit) + ")");
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

bool ReadFileWhole(int dirfd, const char* name, size_t limit, std::string* out, std::string* error)
{
    if (!name || !out) {
        errno = EINVAL;
        return FailRead(error, dirfd, name);
    }
    struct stat st {};
    UniqueFd fd = OpenRegular(dirfd, name, &st);
    if (!fd.IsValid())
        return Fail(error, "read", dirfd, name, OpenReason(errno));
    if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > limit)
        return FailTooLarge(error, dirfd, name, static_cast<uint64_t>(st.st_size), limit);
    std::string bytes;
    char buf[65536];
    for (;;) {
        ssize_t n = ReadSome(fd.Get(), buf, sizeof buf);
        if (n < 0)
            return FailRead(error, dirfd, name);
        if (n == 0)
            break;
        // The file may have grown since it was measured.
        if (bytes.size() + static_cast<size_t>(n) > limit)
            return FailTooLarge(error, dirfd, name, 0, limit);
        bytes.append(buf, static_cast<size_t>(n));
    }
    *out = std::move(bytes);
    return true;
}

bool ReadSmallFile(int dirfd, const char* name, size_t limit, std::string* out, std::string* error)
{
    std::string why;
    if (ReadFileWhole(dirfd, name, limit, out, &why))
        return true;
    if (errno != ENOENT) {
        if (error)
            *error = std::move(why);
        return false;
    }
    out->clear();
    return true;
}

bool ReadDocumentFile(const char* path, std::string& text, std::string* error)
{
    std::string bytes;
    if (!ReadFileWhole(AT_FDCWD, path, kMaxDocumentFileSize, &bytes, error))
        return false;
    size_t zero = bytes.find('\0');
    if (zero != std::string::npos)
        bytes.resize(zero);
    text = std::move(bytes);
    return true;
}

bool ReadLineFile(int dirfd, const char* name, size_t lineMax, std::string* out, std::string* error)
{
    out->clear();
    struct stat st {};
    UniqueFd fd = OpenRegular(dirfd, name, &st);
    if (!fd.IsValid())
        return errno == ENOENT || Fail(error, "read", dirfd, name, OpenReason(errno));
    char buf[65536];
    size_t lineStart = 0;
    bool overlong = false;
    for (;;) {
        ssize_t n = ReadSome(fd.Get(), buf, sizeof buf);
        if (n < 0)
            return FailRead(error, dirfd, name);
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

bool WriteFileAtomic(int dirfd, const char* name, std::string_view content, std::string* error)
{
    if (!name || !*name) {
        errno = EINVAL;
        return Fail(error, "write", dirfd, name, "no name was given");
    }
    // Only a regular file is replaced: a device, a FIFO or a folder in the
    // file's place is a failure to report, never something to write over.
    struct stat st {};
    if (fstatat(dirfd, name, &st, 0) == 0 && !S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return Fail(error, "write", dirfd, name, OpenReason(errno));
    }
    std::string tmp = std::string(name) + ".tmp";
    // Non-blocking and never through a link: whatever sits at the temporary
    // name is replaced, not written into.
    unlinkat(dirfd, tmp.c_str(), 0);
    UniqueFd fd(openat(dirfd, tmp.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644));
    if (!fd.IsValid())
        return Fail(error, "write", dirfd, name, ReasonOf(errno));
    bool ok = true;
    while (ok && !content.empty()) {
        ssize_t n = write(fd.Get(), content.data(), content.size());
        if (n > 0)
            content.remove_prefix(static_cast<size_t>(n));
        else if (n == 0)
            errno = ENOSPC;  // no progress and no error: nowhere to put the bytes
        if (n == 0 || (n < 0 && errno != EINTR))
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
    return Fail(error, "write", dirfd, name, ReasonOf(err));
}

std::string SizeText(uint64_t bytes)
{
    static const struct {
        uint64_t unit;
        const char* name;
    } kUnits[] = {{1024u * 1024 * 1024, "GB"}, {1024u * 1024, "MB"}, {1024u, "KB"}};
    for (const auto& u : kUnits) {
        if (bytes < u.unit)
            continue;
        // In tenths, rounded up; a whole number is shown without ".0".
        const uint64_t tenths = bytes / u.unit * 10 + ((bytes % u.unit) * 10 + u.unit - 1) / u.unit;
        char text[48];
        if (tenths % 10 == 0)
            snprintf(text, sizeof text, "%llu %s", static_cast<unsigned long long>(tenths / 10), u.name);
        else
            snprintf(text, sizeof text, "%llu.%llu %s", static_cast<unsigned long long>(tenths / 10),
                     static_cast<unsigned long long>(tenths % 10), u.name);
        return text;
    }
    return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
}
