#include "resultdeleter.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>

#include "picturesweep.h"
#include "requestarguments.h"
#include "resultqueries.h"
#include "resultschema.h"
#include "sqltext.h"
#include "xrfutils.h"

ResultDeleter::ResultDeleter(const QSqlDatabase &db, const QString &imageFolder)
    : m_db(db), m_imageFolder(imageFolder)
{
}

const QStringList &ResultDeleter::perTestTables()
{
    using namespace XrfTables;
    // Children before their parents; analysisresult last.
    static const QStringList tables { calCheckResult, imageResult,    elementResult,
                                      gradeMatch,     spectrum,       userFactorResult,
                                      testInfo,       regressionInfo, repeatInfo,
                                      compoundResult, gradeMatchSpec, rohsActionLevelResult,
                                      plating,        resultNames,    rohsResult,
                                      coatingResult,  location,       pseudoElementResult,
                                      analysisResult };
    return tables;
}

XrfErrorInfo::XrfError ResultDeleter::imageNames(const QList<int> &ids, QStringList *names)
{
    QString statement = QStringLiteral("SELECT DISTINCT fileName FROM ") + XrfTables::imageResult;
    // The list holds parsed integers only.
    if (!ids.isEmpty())
        statement += QStringLiteral(" WHERE testId IN (") + RequestArguments::joinTestIds(ids)
                + QLatin1Char(')');
    QSqlQuery q(m_db);
    if (!q.exec(statement)) {
        qWarning() << "Cannot read the image names of results to delete:" << q.lastError().text();
        return XrfErrorInfo::DbQueryFailed;
    }
    while (q.next())
        names->append(q.value(0).toString());
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultDeleter::deleteTests(const QList<int> &ids)
{
    if (ids.isEmpty())
        return XrfErrorInfo::NoError;
    QStringList images;
    if (imageNames(ids, &images) != XrfErrorInfo::NoError)
        return XrfErrorInfo::DbQueryFailed;

    // Listed first: a kill after the commit leaves them for the next open.
    PictureSweep sweep(m_imageFolder);
    if (!sweep.list(images))
        return XrfErrorInfo::FileAccessFailed;
    if (!SqlText::beginWrite(m_db)) {
        qWarning() << "Cannot begin a transaction to delete results:" << m_db.lastError().text();
        sweep.clear();
        return XrfErrorInfo::DbQueryFailed;
    }
    const QString list = RequestArguments::joinTestIds(ids);
    XrfErrorInfo::XrfError rc = XrfErrorInfo::NoError;
    // An averaged result's source rows go with it and with any of its sources.
    QStringList statements { QStringLiteral("DELETE FROM %1 WHERE testId IN (%2) OR "
                                            "averagedTestId IN (%2)")
                                     .arg(XrfTables::averagedResultInfo, list) };
    for (const QString &table : perTestTables())
        statements << QStringLiteral("DELETE FROM %1 WHERE testId IN (%2)").arg(table, list);
    for (const QString &statement : qAsConst(statements)) {
        if (SqlText::execStatement(m_db, statement) != XrfErrorInfo::NoError) {
            rc = XrfErrorInfo::DbQueryFailed;
            break;
        }
    }
    if (rc == XrfErrorInfo::NoError
        && (XrfUtils::faultPointArmed("delete-commit-fail") || !m_db.commit())) {
        qWarning() << "COMMIT of a deletion failed:" << m_db.lastError().text()
                   << "- nothing is deleted";
        rc = XrfErrorInfo::DbQueryFailed;
    }
    if (rc != XrfErrorInfo::NoError) {
        m_db.rollback();
        sweep.clear();
        return rc;
    }
    XrfUtils::crashPoint("delete-after-commit");

    // A file that a remaining row still names stays.
    QStringList unused;
    QSqlQuery stillNamed(m_db);
    stillNamed.prepare(QStringLiteral("SELECT 1 FROM ") + XrfTables::imageResult
                       + QStringLiteral(" WHERE fileName = ? LIMIT 1"));
    for (const QString &name : qAsConst(images)) {
        stillNamed.addBindValue(name);
        if (stillNamed.exec() && !stillNamed.next())
            unused << name;
        stillNamed.finish();
    }
    removeImageFiles(m_imageFolder, unused);
    sweep.clear();
    return XrfErrorInfo::NoError;
}

void ResultDeleter::removeImageFiles(const QString &imageFolder, const QStringList &names)
{
    const QString store = QDir::cleanPath(QFileInfo(imageFolder).absoluteFilePath());
    QSet<QString> folders;
    for (const QString &name : names) {
        const QString path = SqlText::storedImagePath(imageFolder, name);
        if (path.isEmpty()) {
            qWarning() << "Image" << name << "lies outside the image store; it is not removed";
            continue;
        }
        if (!QFile::remove(path) && QFileInfo::exists(path))
            qWarning() << "Cannot remove the image file" << path;
        folders.insert(QFileInfo(path).absolutePath());
    }
    for (const QString &folder : qAsConst(folders)) {
        // rmdir removes only an empty folder; the store itself stays.
        if (folder != store && folder.startsWith(store + QLatin1Char('/')))
            QDir().rmdir(folder);
    }
}

XrfErrorInfo::XrfError ResultDeleter::selectsEverything(const QList<int> &ids, bool *everything)
{
    *everything = false;
    if (ids.isEmpty())
        return XrfErrorInfo::NoError;
    int stored = 0;
    int outside = -1;
    ResultQueries queries(m_db);
    if (queries.recordCount(&stored) != XrfErrorInfo::NoError
        || (stored > 0 && queries.countOutside(ids, &outside) != XrfErrorInfo::NoError))
        return XrfErrorInfo::DbQueryFailed;
    // Only when nothing stored lies outside the selection: a count that
    // merely matches could hide a stored test that was not chosen.
    *everything = stored > 0 && outside == 0;
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError
ResultDeleter::eraseFile(const QString &file, const std::function<void()> &close,
                         const std::function<XrfErrorInfo::XrfError(bool)> &open)
{
    QStringList images;
    if (imageNames({}, &images) != XrfErrorInfo::NoError)
        return XrfErrorInfo::DbQueryFailed;
    // The new file names none of them: its open removes them, also after a
    // kill in between. Files of results still in the queue are named by no
    // row and not listed: they stay.
    if (!PictureSweep(m_imageFolder).list(images))
        return XrfErrorInfo::FileAccessFailed;
    const QString folder = QFileInfo(file).absolutePath();
    const QString aside = file + QStringLiteral(".erased");
    close();

    // The old file is set aside, not removed, until the new one is open: a
    // card that cannot take a new file keeps its results.
    QFile::remove(aside);
    if (!QFile::rename(file, aside)) {
        qInfo() << "Unable to remove the database file " << file;
        open(false);
        return XrfErrorInfo::FileAccessFailed;
    }
    const XrfErrorInfo::XrfError rc = open(true);
    if (rc != XrfErrorInfo::NoError) {
        qWarning() << "A new results database cannot be made in" << folder
                   << "- the old one is kept";
        close();
        QFile::remove(file);
        QFile::rename(aside, file);
        XrfUtils::syncFolder(folder);
        open(false);
        return rc;
    }
    QFile::remove(aside);
    XrfUtils::syncFolder(folder);
    return XrfErrorInfo::NoError;
}
