#include "startmode.h"

#include "maincontrolpanel.h"

#include <QStringList>

bool startsInTray(const QStringList &arguments)
{
    return arguments.mid(1).contains(QStringLiteral("--tray"));
}

void showAtStart(MainControlPanel &window, bool inTray, bool trayAvailable)
{
    if (!inTray)
        window.show();
    else if (trayAvailable)
        window.startUp(); // hidden until the tray icon or a second start asks for the window
    else
        window.showMinimized();
}
