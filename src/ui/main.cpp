#include "app.h"
#include "window1.h"

int main(int argc, char** argv)
{
    App app(argc, argv);
    Window1 window;
    window.show();
    return app.exec();
}
