#include "app.h"

#include "app/appversion.h"

App::App(int& argc, char** argv)
    : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("unit-simulator"));
    setApplicationVersion(versionText());
}
