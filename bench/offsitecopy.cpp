// What a copy off this machine costs (run by offsite-copy.sh, never by the tests): one dump of
// SIZE_MB sent by the service's own code (OffsiteCopies: the run's start, then the copy with its
// hash compared, its final name and its run log) against rclone copyto plus rclone hashsum of the
// same file run by hand, and the same copy encrypted to an age recipient. Prints the median of
// ROUNDS rounds in ms, the rounds alternating which goes first.
//
//   offsitecopy WORK CONFIG REMOTE RECIPIENT [SIZE_MB] [ROUNDS]
#include "offsitecopy.h"
#include "jobhistory.h"
#include "outputfolder.h"
#include "riwayat.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>

#include <algorithm>
#include <cstdio>

#include <sys/stat.h>

namespace {

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

bool run(const QStringList &command)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(command.first(), command.mid(1));
    return process.waitForFinished(-1) && process.exitCode() == 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s WORK CONFIG REMOTE RECIPIENT [SIZE_MB] [ROUNDS]\n",
                     argv[0]);
        return 2;
    }
    const QString work = QString::fromLocal8Bit(argv[1]);
    const QString config = QString::fromLocal8Bit(argv[2]);
    const QString remote = QString::fromLocal8Bit(argv[3]);
    const QString recipient = QString::fromLocal8Bit(argv[4]);
    const int sizeMb = argc > 5 ? std::atoi(argv[5]) : 100;
    const int rounds = argc > 6 ? std::atoi(argv[6]) : 5;

    // A program folder with a good dump in its output folder and the job that made it.
    QDir().mkpath(work + "/hasil");
    ::chmod(QFile::encodeName(work + "/hasil"), 0700);
    const QString name = "bu_bench_20240301.050000.bu";
    QFile dump(work + "/hasil/" + name);
    if (!dump.open(QIODevice::WriteOnly))
        return 1;
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (int i = 0; i < sizeMb; ++i) {
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(block.data()),
                                              block.size() / 4);
        dump.write(block);
    }
    dump.close();
    ::chmod(QFile::encodeName(dump.fileName()), 0640);
    QFile::copy(QStringLiteral(SARVELA_BUILD_DIR "/packaging/confbu.cfg"), work + "/confbu.cfg");
    riwayat::Job job;
    job.dbname = "bench";
    job.mulai = QDateTime(QDate(2024, 3, 1), QTime(5, 0));
    job.selesai = job.mulai;
    job.file = work + "/hasil/" + name;
    job.ukuran = qint64(sizeMb) << 20;
    job.hasil = riwayat::Ok;
    job.terverifikasi = true;
    {
        JobHistory history(work, [](const QString &) {});
        job.id = history.start(job.dbname, job.mulai);
        history.finish(job.id, job);
    }

    const Rclone rclone(config, Rclone::Limits());
    QString refusal;
    const auto folder = OutputFolder::open(work + "/hasil", work + "/confbu.cfg", &refusal);
    if (!folder) {
        std::fprintf(stderr, "%s\n", qPrintable(refusal));
        return 1;
    }
    QStringList said;
    const auto service = [&](const QString &penerima, bool withStart, int round) {
        salinan::Settings choice;
        choice.remote = remote;
        choice.folder = QStringLiteral("layanan%1").arg(round);
        choice.penerima = penerima;
        JobHistory history(work, [](const QString &) {});
        OffsiteCopies::Hooks hooks{[&said](const QString &m) { said << m; },
                                   [&said](const QString &m) { said << m; },
                                   [] { return QDateTime::currentDateTime(); },
                                   {}};
        QElapsedTimer clock;
        if (withStart)
            clock.start();
        OffsiteCopies copies(choice, rclone, history, *folder, work + "/hasil",
                             work + "/confbu.cfg", nullptr, hooks);
        copies.prepare();
        if (!withStart)
            clock.start();
        const bool copied = copies.copy(job);
        const double ms = clock.nsecsElapsed() / 1e6;
        return copied ? ms : -1.0;
    };
    const auto byHand = [&](int round) {
        const QString object = remote + QStringLiteral(":hand%1/").arg(round) + name;
        QElapsedTimer clock;
        clock.start();
        const bool ok = run({"/usr/bin/rclone", "--config", config, "copyto", job.file, object}) &&
                        run({"/usr/bin/rclone", "--config", config, "hashsum", "MD5", object});
        return ok ? clock.nsecsElapsed() / 1e6 : -1.0;
    };
    const auto ageAlone = [&] {
        QElapsedTimer clock;
        clock.start();
        const bool ok = run({"/bin/sh", "-c",
                             "/usr/bin/age -r '" + recipient + "' < '" + job.file + "' > '" + work +
                                 "/alleen.age'"});
        return ok ? clock.nsecsElapsed() / 1e6 : -1.0;
    };

    QList<double> copyOnly, withStart, hand, encrypted, age;
    for (int round = 0; round < rounds; ++round) {
        if (round % 2 == 0) {
            withStart << service(QString(), true, 3 * round);
            hand << byHand(round);
        } else {
            hand << byHand(round);
            withStart << service(QString(), true, 3 * round);
        }
        copyOnly << service(QString(), false, 3 * round + 1);
        encrypted << service(recipient, true, 3 * round + 2);
        age << ageAlone();
    }
    for (const QList<double> *list : {&copyOnly, &withStart, &hand, &encrypted, &age})
        if (list->contains(-1.0)) {
            std::fprintf(stderr, "a round failed:\n%s\n", qPrintable(said.join('\n')));
            return 1;
        }
    std::printf("   %d MB, %d rounds, medians:\n", sizeMb, rounds);
    std::printf("   by hand (rclone copyto + rclone hashsum)   %8.0f ms\n", median(hand));
    std::printf("   service, the copy                          %8.0f ms  ratio %.3f\n",
                median(copyOnly), median(copyOnly) / median(hand));
    std::printf("   service, the run's start and the copy      %8.0f ms  ratio %.3f\n",
                median(withStart), median(withStart) / median(hand));
    std::printf("   service, encrypted, start and copy         %8.0f ms  ratio %.3f\n",
                median(encrypted), median(encrypted) / median(hand));
    std::printf("   age -r alone on the dump                   %8.0f ms  (%.0f %% of the encrypted "
                "copy)\n",
                median(age), 100.0 * median(age) / median(encrypted));
    return 0;
}
