#include "maincontrolpanel.h"
#include "startmode.h"
#include "termination.h"

#include <QApplication>
#include <QScreen>
#include <QSystemTrayIcon>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationVersion(QStringLiteral("1.5.0.0"));
    // The panel lives on in the tray when its window is hidden; only
    // "Keluar" ends it, also when a box closes while the window is hidden.
    QApplication::setQuitOnLastWindowClosed(false);

    MainControlPanel window;
    if (window.isAlreadyRunning()) {
        window.close();
        return 0;
    }
    window.setGeometry(0, 0, 532, 491);
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    window.move((screen.width() - window.width()) / 2, (screen.height() - window.height()) / 2);
    quitOnTerminationSignals();
    showAtStart(window, startsInTray(QApplication::arguments()),
                QSystemTrayIcon::isSystemTrayAvailable());
    return app.exec();
}
