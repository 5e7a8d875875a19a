#include "app.h"

#include "app/appversion.h"

App::App(int& argc, char** argv)
    : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("unit-simulator"));
    setApplicationVersion(versionText());
    // The installed .desktop file's id: Wayland and X11 desktops find the name and icon by it.
    setDesktopFileName(QStringLiteral(UNITSIM_DESKTOP_ID));
}
