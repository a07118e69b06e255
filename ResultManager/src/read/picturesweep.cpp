#include "picturesweep.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>

#include "resultdeleter.h"
#include "resultschema.h"
#include "xrfutils.h"

PictureSweep::PictureSweep(const QString &imageFolder)
    : m_imageFolder(imageFolder),
      m_listFile(QFileInfo(imageFolder).absoluteFilePath() + QStringLiteral("/.pictures-to-remove"))
{
}

bool PictureSweep::list(const QStringList &names)
{
    if (names.isEmpty())
        return true;
    const bool existed = QFileInfo::exists(m_listFile);
    const QString folder = QFileInfo(m_listFile).absolutePath();
    if (!QFileInfo::exists(folder)
        && (!QDir().mkpath(folder) || !XrfUtils::syncFolder(folder + QStringLiteral("/.."))))
        return false;
    QFile file(m_listFile);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)
        || file.write(names.join(QLatin1Char('\n')).toUtf8() + '\n') < 0 || !file.flush()) {
        qWarning() << "Cannot list pictures to remove in" << m_listFile << file.errorString();
        return false;
    }
    file.close();
    return XrfUtils::syncFile(m_listFile)
            && (existed || XrfUtils::syncFolder(QFileInfo(m_listFile).absolutePath()));
}

void PictureSweep::clear()
{
    QFile::remove(m_listFile);
}

void PictureSweep::settle(const QSqlDatabase &db)
{
    QFile file(m_listFile);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QList<QByteArray> lines = file.readAll().split('\n');
    file.close();
    QSqlQuery named(db);
    named.prepare(QStringLiteral("SELECT 1 FROM ") + XrfTables::imageResult
                  + QStringLiteral(" WHERE fileName = ? LIMIT 1"));
    QStringList unnamed;
    for (const QByteArray &line : lines) {
        const QString name = QString::fromUtf8(line);
        if (name.isEmpty() || unnamed.contains(name))
            continue;
        named.addBindValue(name);
        // Not knowing whether a row names it is no licence to remove it.
        if (!named.exec()) {
            qWarning() << "Cannot tell which listed pictures are still named; the list stays";
            return;
        }
        if (!named.next())
            unnamed << name;
        named.finish();
    }
    if (!unnamed.isEmpty())
        qInfo() << "Removing" << unnamed.size() << "pictures that a cut-off deletion or import"
                << "left named by no result";
    ResultDeleter::removeImageFiles(m_imageFolder, unnamed);
    clear();
}
