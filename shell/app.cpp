#include "shell/app.h"

#include <grp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>

#include "config/data_dir.h"
#include "config/options_file.h"
#include "engine/diagnostics.h"
#include "shell/command_line.h"
#include "shell/control_socket.h"
#include "shell/main_window.h"

namespace {

constexpr auto kShowWindowWait = std::chrono::seconds(5);

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

// Another copy owns the folder: with a display its window comes to the
// front, headless there is nothing to show.
int SecondStart(const std::string& dir)
{
    if (QGuiApplication::platformName() == QStringLiteral("offscreen")) {
        LogNote("velkaro_redi: already running on %s; not started again\n", dir.c_str());
        return 1;
    }
    ControlAnswer answer;
    const auto end = std::chrono::steady_clock::now() + kShowWindowWait;
    if (AskRunningProgram(dir, {kShowWindowRequest}, end, kShowWindowWait, &answer) == Asked::kAnswered &&
        answer.status == 0) {
        printf("velkaro_redi: already running on %s; its window is brought to the front\n", dir.c_str());
        return 0;
    }
    LogNote("velkaro_redi: already running on %s, and it did not answer; not started again\n", dir.c_str());
    return 1;
}

// VELKARO_REDI_GROUP names a group whose members' command line reaches this
// program too (the system service run as root); -1 for none.
gid_t ControlGroup()
{
    const char* name = getenv("VELKARO_REDI_GROUP");
    if (!name || !*name)
        return static_cast<gid_t>(-1);
    if (const group* g = getgrnam(name))
        return g->gr_gid;
    LogNote("velkaro_redi: VELKARO_REDI_GROUP=%s: no such group; the control socket is this user's alone\n", name);
    return static_cast<gid_t>(-1);
}

// A command from the control socket, on the window's thread.
ControlAnswer ServeCommand(const std::vector<std::string>& args, Program& program, MainWindow& window, bool& busy)
{
    if (args.size() == 1 && args[0] == kShowWindowRequest) {
        window.OnShowWindow();
        return {0, "", {}};
    }
    if (window.HasEnded())
        return {1, "the program is ending", {}};
    // A dialog or a wait of the window holds ports the command might change.
    if (busy || QApplication::activeModalWidget() || QApplication::overrideCursor())
        return {1, "the program's window is busy with a dialog or a command; try again when it is done", {}};
    busy = true;
    CommandPlace place{program, &window.ListView(),
                       [] {
                           // The port states come in; the next command and
                           // a signal wait until this one is done.
                           QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                                           QEventLoop::ExcludeSocketNotifiers);
                       },
                       [&window] { return window.HasEnded(); }};
    ControlAnswer answer = CarryOutArguments(args, place);
    busy = false;
    return answer;
}

}  // namespace

Program::Opened StartProgram(Program& program, MainWindow& window)
{
    const Program::Opened opened = program.Open(&window, true, getenv("VELKARO_REDI_BACKEND"));
    if (opened == Program::Opened::kOwner) {
        LogNote("velkaro_redi: %s\n", program.BackendNote().c_str());
        window.ShowPorts();
        program.StartBridges();
    }
    return opened;
}

int App::Run()
{
    // Everything the program keeps lives beside its executable, or in the
    // user's config folder when that cannot be written.
    const std::string dir = DataDirectory(GetProgramDirectory());
    if (dir.empty() || chdir(dir.c_str()) != 0)
        LogNote("chdir(%s): %s\n", dir.c_str(), strerror(dir.empty() ? ENOENT : errno));

    Program program(dir);
    MainWindow window(program);
    // Before the start, which may take a while: a signal meanwhile ends the
    // program once it runs, with the save, instead of killing it.
    std::unique_ptr<QSocketNotifier> signalNotifier;
    if (InstallSignalHandlers()) {
        signalNotifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, &window, [&window] {
            char buf[16];
            [[maybe_unused]] ssize_t n = read(g_signalPipe[0], buf, sizeof buf);
            window.OnSignalExit();
        });
    }
    switch (StartProgram(program, window)) {
    case Program::Opened::kNoFolder:
        LogNote("velkaro_redi: %s\n", program.OpenError().c_str());
        return 1;
    case Program::Opened::kHeld:
        return SecondStart(dir);
    case Program::Opened::kOwner:
        break;
    }
    QObject::connect(&window, &MainWindow::ended, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    // A session that ends without "Exit" still stops the bridges and saves.
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, &window, &MainWindow::Shutdown);

    // The command line reaches the copy that owns the folder.
    bool busy = false;
    ControlServer control(
        dir, [&](const std::vector<std::string>& args) { return ServeCommand(args, program, window, busy); },
        ControlGroup());
    if (!window.HasEnded())
        QApplication::exec();
    window.Shutdown();
    return 0;
}
