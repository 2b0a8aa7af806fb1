#include <QApplication>
#include <cstdlib>
#include <cstring>
#include <cerrno>
#include <sys/resource.h>

#include "engine/diagnostics.h"
#include "res/resource.h"
#include "shell/app.h"
#include "shell/command_line.h"

namespace {

// Without a display Qt would abort at start; a headless machine runs the
// program as it does with "-platform offscreen", and is told so.
void RunHeadlessWithoutDisplay(int argc, char* argv[])
{
    if (getenv("DISPLAY") || getenv("WAYLAND_DISPLAY") || getenv("QT_QPA_PLATFORM"))
        return;
    for (int i = 1; i < argc; ++i)
        if (strcmp(argv[i], "-platform") == 0 || strncmp(argv[i], "-platform=", 10) == 0)
            return;
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    LogNote("No display (DISPLAY and WAYLAND_DISPLAY unset): running without a window, as with -platform offscreen\n");
}

// A running port holds up to five descriptors (its pair, a socket, the
// bridge side and its watch, a listener) and a CUSE device five more: 256
// ports need more than the usual soft limit of 1024. The program waits with
// poll(), never select(), so the hard limit is safe to take; the process's
// own to set, so here rather than in the bridge library.
void RaiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
            LogNote("setrlimit(RLIMIT_NOFILE): %s\n", strerror(errno));
    }
}

}  // namespace

int main(int argc, char* argv[])
{
    // A command needs no display: it runs before any QApplication exists.
    if (IsCommandLine(argc, argv))
        return RunCommandLine(argc, argv);
    RunHeadlessWithoutDisplay(argc, argv);
    RaiseDescriptorLimit();
    QApplication app(argc, argv);
    // Qt has taken its own options (-platform, -style, -display ...) out of
    // argv: whatever is left is a mistake such as "-list", never a start.
    if (argc > 1) {
        LogNote("velkaro_redi: unknown option: %s (see --help)\n", argv[1]);
        return kExitUsage;
    }
    QApplication::setApplicationName(QStringLiteral(IDS_APP_NAME));
    // Closing the window sends it to the tray; only "Exit" ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    App program;
    return program.Run();
}
