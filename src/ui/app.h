#pragma once

#include <QApplication>

// The application object of the window program; carries the version (applicationVersion()).
class App : public QApplication {
    Q_OBJECT

public:
    App(int& argc, char** argv);
};
