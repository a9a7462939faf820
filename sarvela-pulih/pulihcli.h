// sarvela-pulih: restores a good dump from a shell. It makes the same request as the panel's
// "Pulihkan Database" (see pemulihan.h), waits for the service, prints its progress, the result
// and the rows of every table against what the dump held, and succeeds only when the restore did.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

namespace pulihcli {

struct Options
{
    QString database;
    QString file;       // empty: the newest good dump
    QString ke;         // empty: D_pulih_YYYYMMDD_HHMM
    bool timpa = false; // in place of the database
    QString konfirmasi;
    QString identitas; // an age identity file for an encrypted copy
    bool help = false;
};

// What is wrong with the arguments; empty when they make a request (or ask for help).
QString parse(const QStringList &arguments, Options *options);
QString usage();

struct Io
{
    std::function<QString()> wake; // tells the service; why it could not, or empty
    std::function<void(const QString &line)> out;
    std::function<void(const QString &line)> err;
    int pollMs = 500;
    int takeWaitMs = 60 * 1000; // for the service to take the request
};

// The exit status: 0 when the restore succeeded, 1 otherwise.
int run(const QString &programDir, const Options &options, const Io &io);

} // namespace pulihcli
