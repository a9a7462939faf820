// The test service copied into a folder of its own, so that its settings and its
// record of calls belong to one test; the manager library goes beside it when asked,
// since the framework loads it from the executable's directory.
#pragma once

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QVariantMap>

class ServiceCopy
{
public:
    explicit ServiceCopy(bool withLibrary = true)
    {
        const QString bin = QStringLiteral(SARVELA_BIN_DIR);
        m_ok = m_dir.isValid() && QFile::copy(bin + QStringLiteral("/testservice"), program()) &&
               (!withLibrary || QFile::copy(bin + QStringLiteral("/libsvcmgr.so"),
                                            m_dir.filePath(QStringLiteral("libsvcmgr.so"))));
    }

    bool isValid() const { return m_ok; }
    QString dir() const { return m_dir.path(); }
    QString program() const { return m_dir.filePath(QStringLiteral("testservice")); }

    void configure(const QVariantMap &values)
    {
        QSettings ini(program() + QStringLiteral(".ini"), QSettings::IniFormat);
        for (auto it = values.begin(); it != values.end(); ++it)
            ini.setValue(it.key(), it.value());
    }

    struct Result
    {
        int exitCode = -100;
        QByteArray out;
        QByteArray err;
    };

    Result run(const QStringList &args, int timeoutMs = 30000) const
    {
        QProcess p;
        p.setWorkingDirectory(m_dir.path());
        p.start(program(), args);
        Result r;
        if (!p.waitForFinished(timeoutMs)) {
            p.kill();
            p.waitForFinished();
            return r;
        }
        r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -200;
        r.out = p.readAllStandardOutput();
        r.err = p.readAllStandardError();
        return r;
    }

    QStringList log() const
    {
        QFile f(program() + QStringLiteral(".log"));
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    // Waits until the service has recorded a line starting with prefix.
    bool waitForLog(const QString &prefix, int timeoutMs = 15000) const
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < timeoutMs) {
            for (const QString &line : log())
                if (line.startsWith(prefix))
                    return true;
            QThread::msleep(20);
        }
        return false;
    }

private:
    QTemporaryDir m_dir;
    bool m_ok = false;
};
