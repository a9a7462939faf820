// The control panel exactly as sarpanel runs it, on the program folder given
// first, telling on standard output about every message box it shows: "box: "
// and its text, line breaks written as "|"; a box with only OK is then closed, as a
// user who read it would. The steps that follow act as a
// user would, in order, each once the window is ready and nothing asks anything:
//   yes, no          the answer to the start-up install question (else it stays open)
//   answer:yes|no    the answer to the next question that any later step brings
//   select           selects the first listed database
//   click:NAME       clicks the main window's button NAME
//   menu:TEXT        triggers the menu action TEXT ("&Uninstall Service")
//   state            says "state: " and the service status, the notice above the form and
//                    the tray's tool tip, separated by " / " (line breaks written as "|")
#include "program.h"

#include <QtWidgets>

#include <cstdio>

namespace {

class BoxReporter : public QObject
{
public:
    QMessageBox::StandardButton installAnswer = QMessageBox::NoButton, nextAnswer = QMessageBox::NoButton;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *box = qobject_cast<QMessageBox *>(watched);
        if (!box || event->type() != QEvent::Show)
            return false;
        std::printf("box: %s\n", qUtf8Printable(box->text().replace('\n', '|')));
        std::fflush(stdout);
        // A box that only tells is read and closed, as a user would; questions wait. (Its
        // OK button is added as it shows, after this.)
        if ((box->standardButtons() & ~QMessageBox::Ok) == 0)
            QTimer::singleShot(0, box, &QMessageBox::accept);
        QMessageBox::StandardButton answer = QMessageBox::NoButton;
        if (box->text().startsWith("Service belum diinstall"))
            answer = installAnswer;
        else if (box->standardButtons() & QMessageBox::Yes)
            std::swap(answer, nextAnswer);
        if (answer != QMessageBox::NoButton)
            QTimer::singleShot(0, box->button(answer), &QAbstractButton::click);
        return false;
    }
};

// The main window once its first-show work is done (the tray icon is made
// last but one), so that a step never meets a list not yet loaded.
QWidget *mainWindow()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->objectName() == "MainControlPanel" && w->isVisible() && w->findChild<QSystemTrayIcon *>())
            return w;
    return nullptr;
}

void act(QWidget *window, const QString &step, BoxReporter &reporter)
{
    if (step.startsWith("answer:")) {
        reporter.nextAnswer = step.endsWith("yes") ? QMessageBox::Yes : QMessageBox::No;
    } else if (step == "state") {
        // The notice as read: without the breaks that let a long path wrap.
        const QStringList parts{window->findChild<QLabel *>("lStatus")->text(),
                                window->findChild<QLabel *>("lPemberitahuan")->text().remove(QChar(0x200B)),
                                window->findChild<QSystemTrayIcon *>()->toolTip()};
        std::printf("state: %s\n", qUtf8Printable(parts.join(" / ").replace('\n', '|')));
        std::fflush(stdout);
    } else if (step == "select") {
        window->findChild<QListWidget *>("listWidget")->setCurrentRow(0);
    } else if (step.startsWith("click:")) {
        window->findChild<QPushButton *>(step.mid(6))->click();
    } else if (step.startsWith("menu:")) {
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
    if (!steps.isEmpty() && (steps.first() == "yes" || steps.first() == "no"))
        reporter.installAnswer = steps.takeFirst() == "yes" ? QMessageBox::Yes : QMessageBox::No;
    app.installEventFilter(&reporter);

    QTimer user;
    QObject::connect(&user, &QTimer::timeout, [&] {
        QWidget *window = mainWindow();
        if (!window || QApplication::activeModalWidget())
            return;
        steps.isEmpty() ? user.stop() : act(window, steps.takeFirst(), reporter);
    });
    user.start(50);
    return runControlPanel(app, QCoreApplication::arguments().value(1));
}
