#include "messagebox.h"

#include <QMessageBox>

namespace {
void showBox(const QString &text, QWidget *parent, QMessageBox::Icon icon)
{
    QMessageBox box(parent);
    box.setText(text);
    box.setIcon(icon);
    box.exec();
}
} // namespace

void showInfo(const QString &text, QWidget *parent)
{
    showBox(text, parent, QMessageBox::Information);
}

void showWarning(const QString &text, QWidget *parent)
{
    showBox(text, parent, QMessageBox::Warning);
}

void showError(const QString &text, QWidget *parent)
{
    showBox(text, parent, QMessageBox::Critical);
}

bool askYes(const QString &text, QWidget *parent, QMessageBox::StandardButton defaultButton)
{
    QMessageBox question(parent);
    question.setIcon(QMessageBox::Question);
    question.setText(text);
    question.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    question.setDefaultButton(defaultButton);
    return question.exec() == QMessageBox::Yes;
}
