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
    // Other dialogs are driven by the test itself.
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box || !box->isVisible())
        return;
    const QWidget *parent = box->parentWidget();
    m_seen.append(SeenBox{box->icon(), box->text(), box->standardButtons(),
                          box->standardButton(box->defaultButton()), box->geometry(),
                          parent ? parent->window()->geometry() : QRect()});
    QAbstractButton *asked = box->button(m_answers.isEmpty() ? QMessageBox::Ok : m_answers.takeFirst());
    QAbstractButton *button = asked ? asked : box->buttons().value(0);
    if (button)
        button->click();
    else
        box->close();
}
