// A temporary program folder and options documents of the program's own
// layout, for tests that prepare what the program finds beside itself.
#pragma once

#include <gtest/gtest.h>

#include <grp.h>
#include <stdlib.h>
#include <sys/fsuid.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <string>
#include <vector>

namespace uitest {

// A fresh program folder under the system's temporary directory.
class TempFolder {
public:
    TempFolder()
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "vr-ui-XXXXXX").string();
        path_ = mkdtemp(tmpl.data()) ? tmpl : std::string();
        EXPECT_FALSE(path_.empty());
    }
    ~TempFolder()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    void Write(const std::string& name, const std::string& text) const
    {
        std::ofstream(File(name), std::ios::binary) << text;
    }
    std::string Read(const std::string& name) const
    {
        std::ifstream in(File(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    std::string path_;
};

// s, n times over: large and hostile files.
inline std::string Repeat(const std::string& s, size_t n)
{
    std::string out;
    while (n-- > 0)
        out += s;
    return out;
}

// An options document of the program's own layout, CR LF line ends.
inline std::string OptionsDocument(bool startup, const std::vector<std::string>& portElements, bool autorun = false)
{
    auto flag = [](const std::string& key, bool on) { return "<" + key + ">" + (on ? "TRUE</" : "FALSE</") + key + ">\r\n"; };
    std::string doc = "<OPTIONS>\r\n<SYSTEM>\r\n" + flag("ADDNEW", false) + flag("STARTUP", startup) +
                      flag("DETECTDSR", false) + flag("AUTORUN", autorun) + "</SYSTEM>\r\n";
    for (const std::string& e : portElements)
        doc += e;
    return doc + "</OPTIONS>\r\n";
}

inline std::string PortElement(const std::string& name, const std::string& mode, const std::string& dstAddr,
                               int dstPort, const std::string& locAddr, int locPort)
{
    return "<" + name + ">\r\n<DSTADDR>" + dstAddr + "</DSTADDR>\r\n<DSTPORT>" + std::to_string(dstPort) +
           "</DSTPORT>\r\n<LOCADDR>" + locAddr + "</LOCADDR>\r\n<LOCPORT>" + std::to_string(locPort) +
           "</LOCPORT>\r\n<MODE>" + mode + "</MODE>\r\n<USECUSTOM>FALSE</USECUSTOM>\r\n<CHKDTR>FALSE</CHKDTR>\r\n"
           "<DEVNAME/>\r\n<KEEPALIVE>0</KEEPALIVE>\r\n<IDLETIME>0</IDLETIME>\r\n<DEADPEER>60</DEADPEER>\r\n"
           "<RFC2217>FALSE</RFC2217>\r\n<LINE>9600,8,N,1</LINE>\r\n</" + name + ">\r\n";
}

// What run() gives in a child process that is nobody (when this one is
// root) with these supplementary groups and this group for file access
// only; "" when the child could not become nobody. Short answers only.
inline std::string AsNobody(const std::function<std::string()>& run, const std::vector<gid_t>& groups = {}, gid_t fsgid = 65534)
{
    int fds[2];
    char buf[512];
    EXPECT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        const bool dropped = geteuid() != 0 || (!setgroups(groups.size(), groups.data()) && !setresgid(65534, 65534, 65534) &&
                                                (setfsgid(fsgid), !setresuid(65534, 65534, 65534)));
        const std::string out = dropped ? run() : "";
        _exit(write(fds[1], out.data(), out.size()) == static_cast<ssize_t>(out.size()) ? 0 : 1);
    }
    close(fds[1]);
    const ssize_t n = read(fds[0], buf, sizeof buf);  // a pipe's first read holds the short answer
    close(fds[0]), waitpid(pid, nullptr, 0);
    return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

}  // namespace uitest
