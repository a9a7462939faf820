// The control panel exactly as sarpanel runs it, on the program folder given
// first, telling on standard output about every message box it shows: "box: "
// and its text, line breaks written as "|". With "delete" second it acts as a
// user would: No to the start-up question, then asks to delete the first
// listed database.
#include "program.h"

#include <QApplication>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

namespace {

class BoxReporter : public QObject
{
public:
    bool declineInstall = false;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *box = qobject_cast<QMessageBox *>(watched);
        if (!box || event->type() != QEvent::Show)
            return false;
        std::printf("box: %s\n", qUtf8Printable(box->text().replace('\n', '|')));
        std::fflush(stdout);
        if (declineInstall && box->text().startsWith(QLatin1String("Service belum diinstall"))) {
            declineInstall = false;
            QTimer::singleShot(0, box->button(QMessageBox::No), &QAbstractButton::click);
        }
        return false;
    }
};

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    BoxReporter reporter;
    app.installEventFilter(&reporter);

    QTimer user; // once the window is up and nothing asks anything: delete
    if (args.value(2) == QLatin1String("delete")) {
        reporter.declineInstall = true;
        QObject::connect(&user, &QTimer::timeout, [&user] {
            QWidget *window = nullptr;
            for (QWidget *w : QApplication::topLevelWidgets())
                if (w->objectName() == QLatin1String("MainControlPanel") && w->isVisible())
                    window = w;
            if (!window || QApplication::activeModalWidget())
                return;
            user.stop();
            window->findChild<QListWidget *>(QStringLiteral("listWidget"))->setCurrentRow(0);
            window->findChild<QPushButton *>(QStringLiteral("butDel"))->click();
        });
        user.start(50);
    }
    return runControlPanel(app, args.value(1));
}
