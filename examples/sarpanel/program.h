// The control panel as a program: the single-instance check, the window centred
// on the screen (or, with --tray, hidden in the tray), a clean end on termination
// signals, and the event loop.
#pragma once

#include <QString>

class QApplication;

// programDir is where the panel's files are looked for; empty means the
// program's own folder. Returns the program's exit code.
int runControlPanel(QApplication &app, const QString &programDir = QString());
