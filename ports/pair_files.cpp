#include "ports/pair_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ports/pair_text.h"
#include "engine/unique_fd.h"

namespace {

// Splits at '\n'; a trailing '\r' is dropped so a file edited on another
// system still reads.
template <typename Fn>
void ForEachLine(std::string_view content, Fn fn)
{
    int lineNo = 0;
    while (!content.empty()) {
        size_t nl = content.find('\n');
        std::string_view line = content.substr(0, nl);
        content = nl == std::string_view::npos ? std::string_view() : content.substr(nl + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        fn(++lineNo, line);
    }
}

}  // namespace

std::vector<PairLine> ParsePairsFile(std::string_view content, std::vector<int>* skipped)
{
    std::vector<PairLine> pairs;
    std::set<int> numbers, comNumbers;
    ForEachLine(content, [&](int lineNo, std::string_view line) {
        if (line.empty())
            return;
        size_t tab = line.find('\t');
        int n = tab == std::string_view::npos ? -1 : NumberedName(line.substr(0, tab), "", 0, kPortCount - 1);
        ParamList items;
        bool ok = n >= 0 && ParseParams(line.substr(tab + 1), &items) && !numbers.count(n);
        int com = -1;
        if (ok) {
            if (const std::string* name = FindParam(items, "PortName")) {
                com = ComNumber(*name);
                ok = com > 0 && !comNumbers.count(com);
            }
        }
        if (!ok) {
            if (skipped)
                skipped->push_back(lineNo);
            return;
        }
        numbers.insert(n);
        if (com > 0)
            comNumbers.insert(com);
        pairs.push_back({static_cast<uint32_t>(n), std::string(line.substr(tab + 1))});
    });
    std::sort(pairs.begin(), pairs.end(),
              [](const PairLine& a, const PairLine& b) { return a.number < b.number; });
    return pairs;
}

std::string FormatPairsFile(const std::vector<PairLine>& pairs)
{
    std::string s;
    for (const PairLine& p : pairs)
        s += std::to_string(p.number) + '\t' + p.params + '\n';
    return s;
}

std::set<int> ParseComDb(std::string_view content)
{
    std::set<int> claimed;
    ForEachLine(content, [&](int, std::string_view line) {
        int n = ComNumber(line);
        if (n > 0)
            claimed.insert(n);
    });
    return claimed;
}

std::string FormatComDb(const std::set<int>& claimed)
{
    std::string s;
    for (int n : claimed)
        s += ComName(n) + '\n';
    return s;
}

bool ReadSmallFile(int dirfd, const char* name, size_t limit, std::string* out)
{
    out->clear();
    UniqueFd fd(openat(dirfd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd.IsValid())
        return errno == ENOENT;
    char buf[4096];
    while (out->size() < limit) {
        ssize_t n = read(fd.Get(), buf, std::min(sizeof buf, limit - out->size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        out->append(buf, static_cast<size_t>(n));
    }
    return true;
}

bool ReadLineFile(int dirfd, const char* name, size_t lineMax, std::string* out)
{
    out->clear();
    // Non-blocking: a FIFO in the file's place must not hang the start.
    UniqueFd fd(openat(dirfd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd.IsValid())
        return errno == ENOENT;
    struct stat st{};
    if (fstat(fd.Get(), &st) != 0)
        return false;
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    char buf[65536];
    size_t lineStart = 0;
    bool overlong = false;
    for (;;) {
        ssize_t n = read(fd.Get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
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
    std::string tmp = std::string(name) + ".tmp";
    UniqueFd fd(openat(dirfd, tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
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
