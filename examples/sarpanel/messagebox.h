// The control panel's message boxes: one modal box with a single OK button,
// the default title and the information, warning or critical icon; and its
// Yes/No questions.
#pragma once

#include <QMessageBox>
#include <QString>

class QWidget;

void showInfo(const QString &text, QWidget *parent);
void showWarning(const QString &text, QWidget *parent);
void showError(const QString &text, QWidget *parent);

// A question with Yes and No. True only when Yes was pressed: No, Escape,
// closing the box or a termination signal ending its loop all answer no.
bool askYes(const QString &text, QWidget *parent, QMessageBox::StandardButton defaultButton);
