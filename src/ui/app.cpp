#include "app.h"

#include "appversion.h"

App::App(int& argc, char** argv)
    : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("unit-simulator"));
    setApplicationVersion(versionText());
}

int App::majorVersion() const
{
    return kVersionMajor;
}

int App::minorVersion() const
{
    return kVersionMinor;
}

int App::bugVersion() const
{
    return kVersionBug;
}
