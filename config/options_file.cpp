#include "config/options_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "config/port_options.h"
#include "config/test_options.h"
#include "engine/port_table.h"

namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    // Closes now and tells whether the close succeeded (a delayed write
    // error shows up here).
    bool Close()
    {
        int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int fd_;
};

}  // namespace

bool WriteAllBytes(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool ReadDocumentFile(const char* path, std::string& text)
{
    if (!path)
        return false;
    // Non-blocking so that a FIFO in the file's place cannot hang the open;
    // only a regular file is read.
    FileDescriptor fd(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0)
        return false;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
        static_cast<uint64_t>(st.st_size) > kMaxDocumentFileSize)
        return false;

    std::string bytes(static_cast<size_t>(st.st_size), '\0');
    size_t got = 0;
    while (got < bytes.size()) {
        ssize_t n = ::read(fd.get(), bytes.data() + got, bytes.size() - got);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            break;  // the file shrank since it was measured
        got += static_cast<size_t>(n);
    }
    bytes.resize(got);
    size_t zero = bytes.find('\0');
    if (zero != std::string::npos)
        bytes.resize(zero);
    text = std::move(bytes);
    return true;
}

int SaveOptions(OptionsState& state, const char* path, bool startStep)
{
    if (!path)
        return 0;
    // Non-blocking: a FIFO without a reader in the file's place (an export
    // target, or options.dat itself) fails the open instead of hanging the
    // program; a regular file is written as ever.
    FileDescriptor fd(
        ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644));
    if (fd.get() < 0)
        return 0;

    CTestOptions options;
    options.NewDocument();
    options.SetStringOption("SYSTEM", nullptr, "");
    options.SetBoolOption("SYSTEM", "ADDNEW", state.settings.addNew);
    options.SetBoolOption("SYSTEM", "STARTUP", state.settings.startup);
    options.SetBoolOption("SYSTEM", "DETECTDSR", state.settings.detectDsr);
    options.SetBoolOption("SYSTEM", "AUTORUN", state.settings.autoRun);

    for (int slot = 0; slot < kPortCount; ++slot) {
        PortRecord& r = PortTable[slot];
        if (r.number == -1)
            continue;
        WritePortOptions(options, r);
        if (startStep && state.settings.startup)
            StartBridge(&r);
    }

    options.GetText(state.optionsText);
    // A failed write is reported: the caller tells the user when the
    // shutdown save did not reach the disk.
    bool written = WriteAllBytes(fd.get(), state.optionsText);
    bool closed = fd.Close();
    return written && closed ? 1 : 0;
}

int LoadOptionsIn(OptionsState& state, const char* directory)
{
    if (!directory || !*directory || ::chdir(directory) != 0)
        return 0;
    std::string text;
    if (!ReadDocumentFile(kOptionsFileName, text))
        return 0;
    state.optionsText = std::move(text);

    CTestOptions options(state.optionsText);
    state.settings.addNew = options.GetBoolOption("SYSTEM", "ADDNEW", 0);
    state.settings.startup = options.GetBoolOption("SYSTEM", "STARTUP", 0);
    state.settings.detectDsr = options.GetBoolOption("SYSTEM", "DETECTDSR", 0);
    state.settings.autoRun = options.GetBoolOption("SYSTEM", "AUTORUN", 0);
    return 1;
}

int LoadOptions(OptionsState& state)
{
    std::string dir = GetProgramDirectory();
    return LoadOptionsIn(state, dir.c_str());
}

std::string RunningExecutablePath()
{
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf)
        return {};
    std::string path(buf, static_cast<size_t>(n));
    // An executable replaced while it runs (a new build) reads with this
    // mark; the new file at the same path is the one to start at logon.
    static const std::string kDeleted = " (deleted)";
    if (path.size() > kDeleted.size() &&
        path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0 &&
        access(path.substr(0, path.size() - kDeleted.size()).c_str(), X_OK) == 0)
        path.resize(path.size() - kDeleted.size());
    return path;
}

std::string GetProgramDirectory()
{
    std::string path = RunningExecutablePath();
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return {};
    if (slash == 0)
        return "/";
    path.resize(slash);
    return path;
}

void GetProgramDirectory(size_t length, char* buffer)
{
    if (!buffer)
        return;
    std::string dir = GetProgramDirectory();
    CopyField(buffer, length + 1, dir.c_str(), length);
}
