// The application object: working directory, the main window's life, and the
// signals that end the program like "Exit".
#pragma once

#include <QObject>

class App : public QObject {
    Q_OBJECT
public:
    // Runs the program until the main window ends; gives the exit status.
    int InitInstance();
};
