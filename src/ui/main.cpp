#include "app.h"
#include "commandline.h"
#include "window1.h"

int main(int argc, char** argv)
{
    // Any argument means the command line (--headless, --help, ...), which needs no display.
    if (argc > 1)
        return runCommandLine(argc, argv);
    App app(argc, argv);
    Window1 window;
    window.show();
    return app.exec();
}
