#include "exchangefiles.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#include "sqltext.h"
#include "xrfutils.h"

namespace {

QString cleanAbsolute(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

bool isUnder(const QString &path, const QString &folder)
{
    const QString f = cleanAbsolute(folder);
    return path == f || path.startsWith(f + QLatin1Char('/'));
}

} // namespace

bool ExchangeFiles::isRefusedOutput(const QString &outputFile, const QString &instrumentDataPath,
                                    const QString &databaseFile)
{
    if (outputFile.isEmpty())
        return true;
    // Through symbolic links too: a link into db/ is still db/.
    QString path = cleanAbsolute(outputFile);
    const QString resolved = QFileInfo(path).canonicalFilePath();
    const QString folder = QFileInfo(QFileInfo(path).absolutePath()).canonicalFilePath();
    const QStringList candidates {
        path, resolved,
        folder.isEmpty() ? QString() : folder + QLatin1Char('/') + QFileInfo(path).fileName()
    };
    for (const QString &candidate : candidates) {
        if (candidate.isEmpty())
            continue;
        if (!databaseFile.isEmpty()
            && (candidate == cleanAbsolute(databaseFile)
                || candidate == QFileInfo(databaseFile).canonicalFilePath()))
            return true;
        if (instrumentDataPath.isEmpty())
            continue;
        for (const char *sub : { "db", "images" }) {
            const QString under = instrumentDataPath + QLatin1Char('/') + QLatin1String(sub);
            if (isUnder(candidate, under))
                return true;
            const QString canonical = QFileInfo(under).canonicalFilePath();
            if (!canonical.isEmpty() && isUnder(candidate, canonical))
                return true;
        }
    }
    return false;
}

QString ExchangeFiles::importableImageName(const QString &name)
{
    if (name.isEmpty() || QDir::isAbsolutePath(name) || name.contains(QChar(0)))
        return QString();
    const QString clean = QDir::cleanPath(name);
    if (clean.isEmpty() || clean == QLatin1String(".") || clean.startsWith(QLatin1String("../"))
        || clean == QLatin1String("..") || QDir::isAbsolutePath(clean))
        return QString();
    return clean;
}

QString ExchangeFiles::carriedFolder(const QString &file)
{
    return QFileInfo(file).absolutePath() + QStringLiteral("/instrumentdata/images/");
}

QStringList ExchangeFiles::placeImages(const QStringList &names, const QString &imageFolder,
                                       const QString &outputFile)
{
    QStringList missed;
    const QString folder = carriedFolder(outputFile);
    QSet<QString> written;
    for (const QString &name : names) {
        const QString source = SqlText::storedImagePath(imageFolder, name);
        if (source.isEmpty() || !QFileInfo(source).isFile())
            continue;
        const QString copy = folder + importableImageName(name);
        // Names carry the result and the picture's place in it: one there
        // already is this picture from an earlier run.
        if (QFileInfo(copy).isFile() && QFileInfo(copy).size() == QFileInfo(source).size())
            continue;
        if (!QDir().mkpath(QFileInfo(copy).absolutePath()) || !copyIntoStore(source, copy)) {
            qWarning() << "Cannot write the picture" << source << "to" << copy;
            missed << name;
        } else {
            written << QFileInfo(copy).absolutePath();
        }
    }
    // The pictures' names outlive a cut like the file that names them.
    if (!written.isEmpty())
        written << folder << QFileInfo(folder).absolutePath()
                << QFileInfo(QFileInfo(folder).absolutePath()).absolutePath();
    for (const QString &path : qAsConst(written))
        XrfUtils::syncFolder(path);
    return missed;
}

QString ExchangeFiles::carriedImage(const QString &name, const QString &carrierFile)
{
    const QString clean = importableImageName(name);
    if (clean.isEmpty())
        return QString();
    const QString folder = carriedFolder(carrierFile);
    const QString path = folder + clean;
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return QString();
    // Resolved on both sides: the carried folder may itself be reached
    // through a link (a mount point, say); what lies in it may not leave it.
    const QString root = QFileInfo(folder).canonicalFilePath();
    const QString resolved = info.canonicalFilePath();
    if (root.isEmpty() || resolved.isEmpty() || !resolved.startsWith(root + QLatin1Char('/'))
        || !QFileInfo(resolved).isFile()) {
        qWarning() << "The carried picture" << path
                   << "is no regular file inside the carried folder; it is not taken";
        return QString();
    }
    return resolved;
}

bool ExchangeFiles::copyIntoStore(const QString &source, const QString &target)
{
    const QString part = target + QStringLiteral(".part");
    QFile::remove(part);
    if (!QFile::copy(source, part)) {
        qWarning() << "Cannot copy the picture" << source << "to" << part;
        QFile::remove(part);
        return false;
    }
    // A copy that did not reach the medium whole never gets its name.
    if (!XrfUtils::syncFile(part) || QFileInfo(part).size() != QFileInfo(source).size()
        || !QFile::rename(part, target)) {
        qWarning() << "Cannot put the picture" << source << "in place as" << target;
        QFile::remove(part);
        return false;
    }
    return true;
}

bool ExchangeFiles::sameContent(const QString &a, const QString &b)
{
    QFile one(a);
    QFile two(b);
    if (!one.open(QIODevice::ReadOnly) || !two.open(QIODevice::ReadOnly)
        || one.size() != two.size())
        return false;
    while (!one.atEnd())
        if (one.read(1 << 16) != two.read(1 << 16))
            return false;
    return true;
}

QString ExchangeFiles::freeImageName(const QString &imageFolder, const QString &wanted,
                                     const std::function<bool(const QString &)> &taken)
{
    const int dot = wanted.lastIndexOf(QLatin1Char('.'));
    const int slash = wanted.lastIndexOf(QLatin1Char('/'));
    const QString stem = dot > slash ? wanted.left(dot) : wanted;
    const QString extension = dot > slash ? wanted.mid(dot) : QString();
    for (int n = 1;; ++n) {
        const QString name
                = n == 1 ? wanted : stem + QLatin1Char('~') + QString::number(n) + extension;
        const QString path = SqlText::storedImagePath(imageFolder, name);
        if (!path.isEmpty() && !QFileInfo::exists(path) && !QFileInfo(path).isSymLink()
            && !(taken && taken(name)))
            return name;
    }
}

QString ExchangeFiles::baseImageName(const QString &name)
{
    static const QRegularExpression fresh(QStringLiteral("~\\d+(\\.[^./]*)?$"));
    QString base = name;
    const QRegularExpressionMatch m = fresh.match(base);
    if (m.hasMatch())
        base.replace(m.capturedStart(), m.capturedLength(), m.captured(1));
    return base;
}
