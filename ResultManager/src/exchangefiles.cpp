// Image links are symbolic links to the stored file's absolute path, as a PC
// tool following them expects; FAT cards and network shares cannot hold
// them, so there the file is copied instead.

#include "exchangefiles.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "insdelqueries.h"
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

QString ExchangeFiles::linkFolder(const QString &outputFile)
{
    return QFileInfo(outputFile).absolutePath() + QStringLiteral("/instrumentdata/images/");
}

int ExchangeFiles::linkImages(const QStringList &names, const QString &imageFolder,
                              const QString &outputFile)
{
    int missed = 0;
    const QString folder = linkFolder(outputFile);
    for (const QString &name : names) {
        const QString source = InsDelQueries::storedImagePath(imageFolder, name);
        if (source.isEmpty() || !QFileInfo(source).isFile())
            continue;
        const QString link = folder + importableImageName(name);
        QFileInfo existing(link);
        if (existing.exists() || existing.isSymLink())
            continue;
        QDir().mkpath(QFileInfo(link).absolutePath());
        if (!QFile::link(source, link) && !QFile::copy(source, link)) {
            qWarning() << "Cannot link or copy the image" << source << "to" << link;
            ++missed;
        }
    }
    return missed;
}

bool ExchangeFiles::bringImageIn(const QString &name, const QString &inputFile,
                                 const QString &imageFolder, const QString &storedName)
{
    const QString clean = importableImageName(name);
    const QString cleanStored = storedName.isEmpty() ? clean : importableImageName(storedName);
    const QString target = clean.isEmpty() || cleanStored.isEmpty()
            ? QString()
            : InsDelQueries::storedImagePath(imageFolder, cleanStored);
    if (target.isEmpty()) {
        qWarning() << "Image name" << name << "is not a name inside the image store; it is dropped";
        return false;
    }
    if (QFileInfo(target).isFile())
        return true;
    const QString source = linkFolder(inputFile) + clean;
    if (!QFileInfo(source).isFile())
        return false;
    QDir().mkpath(QFileInfo(target).absolutePath());
    // Copied aside and renamed, so that a cut never leaves half a picture
    // under a stored name.
    const QString part = target + QStringLiteral(".part");
    QFile::remove(part);
    if (!QFile::copy(source, part)) {
        qWarning() << "Cannot copy the image" << source << "into the store";
        return false;
    }
    XrfUtils::syncFile(part);
    if (!QFile::rename(part, target)) {
        QFile::remove(part);
        return false;
    }
    return true;
}
