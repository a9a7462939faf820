#include "offsitetarget.h"

#include "outputfolder.h"
#include "salinan.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace offsitetarget {

namespace {

// Deeper than any configuration root writes on purpose: a loop of aliases.
constexpr int MaxDepth = 8;

// Wrappers that keep the names below them (what lands in folder/x lands in their remote's
// folder/x); crypt may not, and is looked at apart.
const QStringList SameNames{QStringLiteral("alias"), QStringLiteral("cache"),
                            QStringLiteral("chunker"), QStringLiteral("compress"),
                            QStringLiteral("hasher")};

QString joined(const QString &base, const QString &path)
{
    if (path.isEmpty())
        return base;
    if (base.isEmpty())
        return path;
    return base.endsWith(QLatin1Char('/')) ? base + path : base + QLatin1Char('/') + path;
}

// Space-separated words, a word in double quotes holding spaces, as rclone reads upstreams.
QStringList words(const QString &text)
{
    QStringList found;
    QString word;
    bool quoted = false, any = false;
    for (const QChar c : text) {
        if (c == QLatin1Char('"')) {
            quoted = !quoted;
            any = true;
        } else if (c.isSpace() && !quoted) {
            if (any)
                found << word;
            word.clear();
            any = false;
        } else {
            word += c;
            any = true;
        }
    }
    if (any)
        found << word;
    return found;
}

class Resolver
{
public:
    explicit Resolver(const QJsonObject &config) : config(config) {}

    // Where the remote text (name:path, :type:path or a plain path) with path below it lands.
    void resolve(const QString &text, const QString &path, int depth)
    {
        if (!problem.isEmpty())
            return;
        if (depth > MaxDepth) {
            problem = QStringLiteral("remote saling merujuk terlalu dalam");
            return;
        }
        const int colon = text.indexOf(QLatin1Char(':'), text.startsWith(QLatin1Char(':')) ? 1 : 0);
        const QString head = colon < 0 ? QString() : text.left(colon);
        // No name before a colon (or a folder before it): a path on this machine.
        if (colon < 0 || head.contains(QLatin1Char('/')) || head.contains(QLatin1Char('\\')) ||
            isDrive(head)) {
            local(joined(text, path));
            return;
        }
        const QString rest = text.mid(colon + 1);
        // Options given in the name could point a wrapper anywhere.
        if (head.contains(QLatin1Char(',')) || head.contains(QLatin1Char('"'))) {
            problem =
                QStringLiteral("remote [") + text + QStringLiteral("] memakai opsi di namanya");
            return;
        }
        if (head.startsWith(QLatin1Char(':'))) {
            const QString type = head.mid(1);
            if (type == QLatin1String("local"))
                local(joined(rest, path));
            else if (SameNames.contains(type) || isWrapping(type))
                problem = QStringLiteral("remote [") + text + QStringLiteral("] tanpa nama");
            return;
        }
        if (!config.contains(head)) {
            problem = QStringLiteral("remote [") + head +
                      QStringLiteral("] tidak ada di konfigurasi rclone");
            return;
        }
        named(config.value(head).toObject(), joined(rest, path), depth);
    }

    QStringList paths;
    QString problem;

private:
    static bool isDrive(const QString &head)
    {
#ifdef Q_OS_WIN
        return head.size() == 1 && head.at(0).isLetter();
#else
        Q_UNUSED(head)
        return false;
#endif
    }

    static bool isWrapping(const QString &type)
    {
        return type == QLatin1String("crypt") || type == QLatin1String("union") ||
               type == QLatin1String("combine");
    }

    void local(const QString &path)
    {
        if (!QDir::isAbsolutePath(path)) {
            problem = QStringLiteral("jalur lokal [") + path + QStringLiteral("] tidak mutlak");
            return;
        }
        paths << QDir::cleanPath(path);
    }

    void named(const QJsonObject &options, const QString &path, int depth)
    {
        const QString type = options.value(QStringLiteral("type")).toString();
        const QString remote = options.value(QStringLiteral("remote")).toString();
        if (type == QLatin1String("local")) {
            local(path);
        } else if (SameNames.contains(type)) {
            resolve(remote, path, depth + 1);
        } else if (type == QLatin1String("crypt")) {
            // Encrypted names: the whole of what it wraps is where it may land.
            const bool plainNames =
                options.value(QStringLiteral("filename_encryption")).toString() ==
                QLatin1String("off");
            resolve(remote, plainNames ? path : QString(), depth + 1);
        } else if (type == QLatin1String("union")) {
            for (QString upstream : words(options.value(QStringLiteral("upstreams")).toString())) {
                upstream.remove(QRegularExpression(QStringLiteral(":(ro|nc|writeback)$")));
                resolve(upstream, path, depth + 1);
            }
        } else if (type == QLatin1String("combine")) {
            // The first folder of the path names the upstream.
            const QString first = path.section(QLatin1Char('/'), 0, 0);
            const QString below = path.section(QLatin1Char('/'), 1);
            for (const QString &upstream :
                 words(options.value(QStringLiteral("upstreams")).toString())) {
                const int equals = upstream.indexOf(QLatin1Char('='));
                if (equals > 0 && upstream.left(equals) == first)
                    resolve(upstream.mid(equals + 1), below, depth + 1);
            }
        } else if (!remote.isEmpty()) {
            // A wrapper this service does not know: where it lands cannot be told.
            problem = QStringLiteral("jenis remote [") + type +
                      QStringLiteral("] membungkus remote lain");
        }
    }

    const QJsonObject &config;
};

// The deepest folder of path that exists (a link counts: it is looked at, not gone around).
QString deepestExisting(const QString &path)
{
    QString at = QDir::cleanPath(path);
    for (;;) {
        const QFileInfo info(at);
        if (info.exists() || info.isSymLink() || at == QLatin1String("/"))
            return at;
        const QString up = info.absolutePath();
        if (up == at)
            return at;
        at = up;
    }
}

} // namespace

Landing land(const QJsonObject &config, const QString &remote, const QString &path)
{
    Resolver resolver(config);
    resolver.resolve(remote + QLatin1Char(':'), path, 0);
    return Landing{resolver.paths, resolver.problem};
}

bool isLocal(const QJsonObject &config, const QString &remote)
{
    const Landing landing = land(config, remote, QString());
    return !landing.localPaths.isEmpty() || !landing.problem.isEmpty();
}

QString refusal(const QJsonObject &config, const QString &remote, const QString &path,
                const QString &settingsPath)
{
    // Names with a colon or options would be read as something else than a name of root's.
    if (remote.isEmpty() || remote.contains(QLatin1Char(':')) ||
        remote.contains(QLatin1Char(',')) || !config.contains(remote))
        return QStringLiteral("remote [") + salinan::shown(remote) +
               QStringLiteral("] tidak ada di konfigurasi rclone");
    const Landing landing = land(config, remote, path);
    if (!landing.problem.isEmpty())
        return QStringLiteral("tujuan [") + remote + QLatin1Char(':') + path +
               QStringLiteral("] tidak dapat dipastikan: ") + landing.problem;
    for (const QString &local : landing.localPaths) {
        QString why;
        if (!OutputFolder::open(deepestExisting(local), settingsPath, &why))
            return QStringLiteral("tujuan [") + remote + QLatin1Char(':') + path +
                   QStringLiteral("] berada di disk mesin ini, di [") + local +
                   QStringLiteral("]: ") + why;
    }
    return QString();
}

} // namespace offsitetarget
