#include "modalanswer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QPushButton>

ModalAnswerer::ModalAnswerer(QObject *parent) : QObject(parent)
{
    // Polled often: a modal box runs its own event loop, where timers still fire.
    startTimer(20);
}

void ModalAnswerer::poll()
{
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible())
        return;
    auto *box = qobject_cast<QMessageBox *>(modal);
    if (!box)
        return; // other dialogs are driven by the test itself
    const QWidget *parent = box->parentWidget();
    m_seen.append(SeenBox{box->icon(), box->text(), box->standardButtons(),
                          box->standardButton(box->defaultButton()), box->geometry(),
                          parent ? parent->window()->geometry() : QRect()});
    QAbstractButton *button = box->button(m_answers.isEmpty() ? QMessageBox::Ok : m_answers.takeFirst());
    if (!button)
        button = box->buttons().value(0);
    if (button)
        button->click();
    else
        box->close();
}
