#include <QApplication>

#include "res/resource.h"
#include "shell/app.h"
#include "shell/command_line.h"

int main(int argc, char* argv[])
{
    // A command needs no display: it runs before any QApplication exists.
    if (IsCommandLine(argc, argv))
        return RunCommandLine(argc, argv);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral(IDS_APP_NAME));
    // Closing the window sends it to the tray; only "Exit" ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    CPontuApp pontu;
    return pontu.InitInstance();
}
