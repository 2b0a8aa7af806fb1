#include "shell/app.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <csignal>

#include "config/data_dir.h"
#include "engine/diagnostics.h"
#include "config/options_file.h"
#include "ports/pair_setup.h"
#include "shell/control_socket.h"
#include "shell/main_window.h"

namespace {

int g_signalPipe[2] = {-1, -1};

void OnSignal(int)
{
    char c = 1;
    // Only async-signal-safe work here: the main loop does the rest.
    [[maybe_unused]] ssize_t n = write(g_signalPipe[1], &c, 1);
}

bool InstallSignalHandlers()
{
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
        return false;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaction(sig, &sa, nullptr);
    return true;
}

}  // namespace

int App::InitInstance()
{
    // Everything the program keeps lives beside its executable, or in the
    // user's config folder when that cannot be written.
    const std::string dir = DataDirectory(GetProgramDirectory());
    if (dir.empty() || chdir(dir.c_str()) != 0)
        LogNote("Cannot enter the program directory %s\n", dir.c_str());

    MainWindow dlg(dir);
    QObject::connect(&dlg, &MainWindow::ended, qApp, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    // A session that ends without "Exit" still stops the bridges and saves.
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, &dlg, &MainWindow::OnDestroy);

    std::unique_ptr<QSocketNotifier> signalNotifier;
    if (InstallSignalHandlers()) {
        signalNotifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, &dlg, [&dlg] {
            char buf[16];
            [[maybe_unused]] ssize_t n = read(g_signalPipe[0], buf, sizeof buf);
            dlg.OnSignalExit();
        });
    }

    dlg.OnInitDialog();
    // The command line reaches the copy that owns the folder.
    std::unique_ptr<ControlSocket> control;
    if (CurrentPairSetup() && CurrentPairSetup()->OwnsFolder())
        control = std::make_unique<ControlSocket>(dlg, dir);
    if (!dlg.HasEnded())
        QApplication::exec();
    control.reset();
    dlg.OnDestroy();
    return 0;
}
