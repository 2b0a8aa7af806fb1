// Export and import of port lists.
#include "config/export_import.h"

#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QTreeWidget>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "config/options_file.h"
#include "config/test_options.h"
#include "ports/port_list.h"
#include "shell/dialog_seam.h"
#include "shell/main_window.h"

namespace {

constexpr int kComNumberLast = 256;

QString Text(CTestOptions& options, const char* element, const char* key)
{
    return QString::fromLocal8Bit(options.GetStringOption(element, key, nullptr));
}

// A file dialog may have changed the working directory; "options.dat" is
// opened relative to it.
void EnterProgramDirectory(const std::string& dir)
{
    if (dir.empty() || chdir(dir.c_str()) != 0)
        fprintf(stderr, "Cannot enter the program directory %s: %s\n", dir.c_str(), strerror(errno));
}

// The path the dialog gave, made absolute against the directory it was
// chosen in, before that directory changes.
QByteArray ChosenPath(const QString& path)
{
    return QFile::encodeName(QFileInfo(path).absoluteFilePath());
}

}  // namespace

std::vector<PortSettings> ImportedPortSettings(const std::string& text, const PortSettings& base)
{
    std::vector<PortSettings> ports;
    CTestOptions options(text);
    for (int n = 1; n <= kComNumberLast; ++n) {
        char name[16];
        snprintf(name, sizeof name, "COM%d", n);
        if (!options.HasElement(name, nullptr))
            continue;
        PortSettings s = base;
        s.comNumber = n;
        s.localHost = Text(options, name, "LOCADDR");
        s.localPort = Text(options, name, "LOCPORT");
        s.remoteHost = Text(options, name, "DSTADDR");
        s.remotePort = Text(options, name, "DSTPORT");
        s.mode = ModeIndexFromName(options.GetStringOption(name, "MODE", "tcpserver").c_str());
        s.emuBR = options.GetBoolOption(name, "EMUBR", 1);
        s.useCustom = options.GetBoolOption(name, "USECUSTOM", 0);
        s.deviceName = Text(options, name, "DEVNAME");
        // Written as signed decimal; read back the same way, so every 32-bit
        // value survives the trip.
        s.keepAlive = static_cast<uint32_t>(options.GetIntOption(name, "KEEPALIVE", 0));
        s.idleTime = static_cast<uint32_t>(options.GetIntOption(name, "IDLETIME", 0));
        ports.push_back(s);
    }
    return ports;
}

void CPontuDlg::ExportPorts()
{
    QString chosen = Seam().GetSaveFileName(this, QString(), QString());
    if (chosen.isEmpty()) {
        EnterProgramDirectory(programDir_);
        return;
    }
    QByteArray path = ChosenPath(chosen);
    EnterProgramDirectory(programDir_);
    // Like every save, with the startup flag on this (re)starts the bridges.
    // A failure is said: the person would otherwise trust a list that is
    // not there.
    if (!SaveOptions(options_, path.constData(), true))
        Seam().MessageBox(this, QStringLiteral("Open or Write to Option File Fail"));
}

void CPontuDlg::ImportPorts()
{
    if (PortList()->topLevelItemCount() > 0) {
        Seam().MessageBox(this, QStringLiteral("Please remove all the virtual COM ports before import!"));
        return;
    }
    QString chosen = Seam().GetOpenFileName(this, QString(), QString());
    QByteArray path = chosen.isEmpty() ? QByteArray() : ChosenPath(chosen);
    EnterProgramDirectory(programDir_);
    if (path.isEmpty())
        return;
    // A file that cannot be read, or is too large to be a port list, is
    // ignored as the open dialog's cancel is.
    std::string text;
    if (!ReadDocumentFile(path.constData(), text))
        return;
    options_.optionsText = text;
    // Each add saves options.dat and replaces optionsText; the ports come
    // from this copy, parsed once.
    for (const PortSettings& s : ImportedPortSettings(text, CAddREdiDlg::LastUsed()))
        AddPortPair(s);
}
