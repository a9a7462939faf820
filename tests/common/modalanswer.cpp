#include "modalanswer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QPushButton>
#include <QTimerEvent>

ModalAnswerer::ModalAnswerer(QObject *parent) : QObject(parent)
{
    // Polled often: a modal box runs its own event loop, where timers still fire.
    m_timer = startTimer(20);
}

ModalAnswerer::~ModalAnswerer()
{
    killTimer(m_timer);
}

void ModalAnswerer::answerNext(QMessageBox::StandardButton button)
{
    m_answers.append(button);
}

void ModalAnswerer::poll()
{
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible())
        return;
    auto *box = qobject_cast<QMessageBox *>(modal);
    if (!box)
        return; // other dialogs are driven by the test itself
    SeenBox seen{box->icon(),
                 box->text(),
                 box->standardButtons(),
                 box->standardButton(box->defaultButton()),
                 box->geometry(),
                 box->parentWidget() ? box->parentWidget()->window()->geometry() : QRect()};
    m_seen.append(seen);
    QMessageBox::StandardButton answer =
        m_answers.isEmpty() ? QMessageBox::Ok : m_answers.takeFirst();
    QAbstractButton *button = box->button(answer);
    if (!button)
        button = box->buttons().isEmpty() ? nullptr : box->buttons().first();
    if (button)
        button->click();
    else
        box->close();
}
