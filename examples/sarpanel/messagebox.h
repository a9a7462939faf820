// The control panel's message boxes: one modal box with a single OK button,
// the default title and the information, warning or critical icon.
#pragma once

#include <QString>

class QWidget;

void showInfo(const QString &text, QWidget *parent);
void showWarning(const QString &text, QWidget *parent);
void showError(const QString &text, QWidget *parent);
