// How the panel first appears: its window, as usual, or with --tray (the start
// at login) only its tray icon; a desktop without a tray gets the window
// minimised instead, so that the panel is never out of reach.
#pragma once

class MainControlPanel;
class QStringList;

// arguments as QCoreApplication::arguments() gives them, the program first.
bool startsInTray(const QStringList &arguments);

// trayAvailable: whether the desktop shows tray icons now.
void showAtStart(MainControlPanel &window, bool inTray, bool trayAvailable);
