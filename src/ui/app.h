#pragma once

#include <QApplication>

// The application object of the window program: carries the version numbers.
class App : public QApplication {
    Q_OBJECT

public:
    App(int& argc, char** argv);

    int majorVersion() const;
    int minorVersion() const;
    int bugVersion() const;
};
