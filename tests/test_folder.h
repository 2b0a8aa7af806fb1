// A temporary program folder and options documents of the program's own
// layout, for tests that prepare what the program finds beside itself.
#pragma once

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
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

}  // namespace uitest
