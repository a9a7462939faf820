// Answers modal boxes the way a user would: a timer finds the active modal
// widget, records what it showed and presses a button.
#pragma once

#include <QMessageBox>

struct SeenBox
{
    QMessageBox::Icon icon;
    QString text;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton;
    // Where the box was on the screen, where its parent's window was then (null without one).
    QRect geometry, parentGeometry;
};

class ModalAnswerer : public QObject
{
    Q_OBJECT
public:
    // Queue the answer for the next modal box: a standard button (Ok, Yes, No, Cancel…).
    void answerNext(QMessageBox::StandardButton button) { m_answers.append(button); }
    // Starts watching; every queued answer is used once, in order. Unqueued boxes get Ok/close.
    explicit ModalAnswerer(QObject *parent = nullptr);

    const QList<SeenBox> &seen() const { return m_seen; }
    void clear() { m_seen.clear(); }

private:
    void poll();
    QList<QMessageBox::StandardButton> m_answers;
    QList<SeenBox> m_seen;
    void timerEvent(QTimerEvent *) override { poll(); }
};
