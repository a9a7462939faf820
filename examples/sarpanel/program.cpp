#include "program.h"

#include "maincontrolpanel.h"
#include "startmode.h"
#include "termination.h"

#include <QApplication>
#include <QScreen>
#include <QSystemTrayIcon>

int runControlPanel(QApplication &app, const QString &programDir)
{
    QApplication::setApplicationVersion(QStringLiteral("1.5.0.0"));
    // The panel lives on in the tray when its window is hidden; only
    // "Keluar" ends it, also when a box closes while the window is hidden.
    QApplication::setQuitOnLastWindowClosed(false);

    MainControlPanel window(nullptr, programDir);
    if (window.isAlreadyRunning())
        return 0; // the window was never shown, and goes with this scope
    // At its fixed size: 532 x 491, or more where the font needs it.
    window.setGeometry(QRect(QPoint(0, 0), window.size()));
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    window.move((screen.width() - window.width()) / 2, (screen.height() - window.height()) / 2);
    quitOnTerminationSignals();
    showAtStart(window, startsInTray(QApplication::arguments()),
                QSystemTrayIcon::isSystemTrayAvailable());
    return app.exec();
}
