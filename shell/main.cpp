#include <QApplication>

#include "res/resource.h"
#include "shell/app.h"

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral(IDS_APP_NAME));
    // Closing the window sends it to the tray; only "Exit" ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    CPontuApp pontu;
    return pontu.InitInstance();
}
