// The control panel exactly as sarpanel runs it, on the program folder given
// first, telling on standard output about every message box it shows: "box: "
// and its text, line breaks written as "|". The steps that follow act as a
// user would, in order, each once the window is ready and nothing asks anything:
//   yes, no          the answer to the start-up install question (else it stays open)
//   select           selects the first listed database
//   click:NAME       clicks the main window's button NAME
//   menu:TEXT        triggers the menu action TEXT ("&Uninstall Service")
#include "program.h"

#include <QAction>
#include <QApplication>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cstdio>

namespace {

class BoxReporter : public QObject
{
public:
    QMessageBox::StandardButton installAnswer = QMessageBox::NoButton;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *box = qobject_cast<QMessageBox *>(watched);
        if (!box || event->type() != QEvent::Show)
            return false;
        std::printf("box: %s\n", qUtf8Printable(box->text().replace('\n', '|')));
        std::fflush(stdout);
        if (installAnswer != QMessageBox::NoButton &&
            box->text().startsWith(QLatin1String("Service belum diinstall")))
            QTimer::singleShot(0, box->button(installAnswer), &QAbstractButton::click);
        return false;
    }
};

// The main window once its first-show work is done (the tray icon is made
// last but one), so that a step never meets a list not yet loaded.
QWidget *mainWindow()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String("MainControlPanel") && w->isVisible() &&
            w->findChild<QSystemTrayIcon *>())
            return w;
    return nullptr;
}

void act(QWidget *window, const QString &step)
{
    if (step == QLatin1String("select")) {
        window->findChild<QListWidget *>(QStringLiteral("listWidget"))->setCurrentRow(0);
    } else if (step.startsWith(QLatin1String("click:"))) {
        window->findChild<QPushButton *>(step.mid(6))->click();
    } else if (step.startsWith(QLatin1String("menu:"))) {
        for (QAction *menu : window->findChild<QMenuBar *>()->actions())
            for (QAction *action : menu->menu()->actions())
                if (action->text() == step.mid(5))
                    action->trigger();
    }
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QStringList steps = QCoreApplication::arguments().mid(2);
    BoxReporter reporter;
    if (!steps.isEmpty() && (steps.first() == QLatin1String("yes") || steps.first() == "no"))
        reporter.installAnswer =
            steps.takeFirst() == QLatin1String("yes") ? QMessageBox::Yes : QMessageBox::No;
    app.installEventFilter(&reporter);

    QTimer user;
    QObject::connect(&user, &QTimer::timeout, [&] {
        QWidget *window = mainWindow();
        if (!window || QApplication::activeModalWidget())
            return;
        if (steps.isEmpty())
            user.stop();
        else
            act(window, steps.takeFirst());
    });
    user.start(50);
    return runControlPanel(app, QCoreApplication::arguments().value(1));
}
