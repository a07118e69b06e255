// Builds the mini database that carries recent results to a PC: a small
// SQLite file with the results schema, filled on a connection of its own
// with the live file attached read-only, so that a card that is only read
// can still give its results away.
//
// Invariants: the file is built aside as "<name>.sqlite.part" in one
// transaction, its pictures copied beside it first, synced and renamed over
// "<name>.sqlite"; an abort or a failure leaves no file of this run behind.

#include "minidatabasebuild.h"

#include <QAtomicInt>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>

#include <cstdio>

#include "databasefile.h"
#include "exchangefiles.h"
#include "minidatabase.h"
#include "requestarguments.h"
#include "resultdeleter.h"
#include "resultqueries.h"
#include "resultschema.h"
#include "sqltext.h"
#include "xrfutils.h"

MiniDatabaseBuild::MiniDatabaseBuild(const QSqlDatabase &db, const QString &instrumentDataPath,
                                     const QString &databaseFile, AbortCheck aborted)
    : m_db(db), m_instrumentDataPath(instrumentDataPath), m_databaseFile(databaseFile),
      m_aborted(std::move(aborted))
{
}

bool MiniDatabaseBuild::aborted() const
{
    return (m_aborted && m_aborted()) || XrfUtils::faultPointArmed("minidb-abort");
}

XrfErrorInfo::XrfError MiniDatabaseBuild::build(const QString &from, const QString &outFileName,
                                                Capture *capture)
{
    *capture = Capture();
    QString start = RequestArguments::openStart();
    if (!from.isEmpty()) {
        QDateTime utc;
        if (!RequestArguments::parseUtcDateTime(from, &utc))
            return XrfErrorInfo::InvalidArgument;
        start = RequestArguments::storedText(utc);
    }
    qInfo() << "Capturing results on device from " << start;

    const QString target = outFileName + QStringLiteral(".sqlite");
    if (outFileName.isEmpty()
        || ExchangeFiles::isRefusedOutput(target, m_instrumentDataPath, m_databaseFile)) {
        qWarning() << "A mini database is never written as" << target;
        return XrfErrorInfo::FileCreateFailed;
    }

    QString found;
    if (ResultQueries(m_db).testIdsBetweenDates(start, RequestArguments::openEnd(), &found, 0)
        != XrfErrorInfo::NoError)
        return XrfErrorInfo::DbQueryFailed;
    capture->status = QStringLiteral("Complete");
    if (found.isEmpty())
        return XrfErrorInfo::NoError;
    QList<int> ids;
    RequestArguments::parseTestIds(found, &ids);
    capture->found = ids.size();
    const QString idList = RequestArguments::joinTestIds(ids.mid(0, MiniDatabase::captureLimit));

    const QString path = QFileInfo(target).absoluteFilePath();
    const QString part = path + QStringLiteral(".part");
    qDebug() << "Gathering results in mini SQL file " << path;
    QFile::remove(part);
    QFile::remove(part + QStringLiteral("-journal"));
    // A folder that is not there is a stick that is not mounted, or a typo:
    // never made here.
    XrfErrorInfo::XrfError rc = XrfErrorInfo::FileCreateFailed;
    if (!QFileInfo(QFileInfo(path).absolutePath()).isDir())
        qWarning() << "No folder" << QFileInfo(path).absolutePath() << "for the mini database";
    else
        rc = copyOut(part, idList);
    // The pictures first: a file whose pictures did not all arrive is not
    // put in place.
    if (rc == XrfErrorInfo::NoError) {
        const QString store = m_instrumentDataPath + QStringLiteral("images/");
        QStringList images;
        if (ResultDeleter(m_db, store).imageNames(ids.mid(0, MiniDatabase::captureLimit), &images)
            != XrfErrorInfo::NoError)
            rc = XrfErrorInfo::DbQueryFailed;
        else if (!ExchangeFiles::placeImages(images, store, path).isEmpty())
            rc = XrfErrorInfo::FileCreateFailed;
    }
    // Renamed over the old file only when complete and on the card.
    if (rc == XrfErrorInfo::NoError
        && (!XrfUtils::syncFile(part)
            || std::rename(QFile::encodeName(part).constData(), QFile::encodeName(path).constData())
                    != 0)) {
        qWarning() << "Cannot put the mini database in place as" << path;
        rc = XrfErrorInfo::FileCreateFailed;
    }
    if (rc != XrfErrorInfo::NoError) {
        QFile::remove(part);
        QFile::remove(part + QStringLiteral("-journal"));
        capture->status = QStringLiteral("Partial");
        return rc;
    }
    XrfUtils::syncFolder(QFileInfo(path).absolutePath());

    capture->captured = qMin(MiniDatabase::captureLimit, int(ids.size()));
    if (capture->captured < capture->found)
        capture->status = QStringLiteral("Partial");
    return XrfErrorInfo::NoError;
}

// Built on a connection of its own, with the live file attached read-only:
// a card that is only read (write-protected, or another's) can still give
// its results away, and the live connection is never opened for writing.
XrfErrorInfo::XrfError MiniDatabaseBuild::copyOut(const QString &part, const QString &idList)
{
    static QAtomicInt connections;
    const QString name = QStringLiteral("XrfMiniOut%1").arg(connections.fetchAndAddRelaxed(1));
    XrfErrorInfo::XrfError rc = XrfErrorInfo::FileCreateFailed;
    {
        QSqlDatabase out = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        out.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=30000"));
        out.setDatabaseName(part);
        if (out.open()) {
            QSqlQuery attach(out);
            attach.prepare(QStringLiteral("ATTACH DATABASE ? AS src"));
            attach.addBindValue(DatabaseFile::readOnlyUri(
                    m_databaseFile, DatabaseFile::readsImmutable(m_databaseFile)));
            if (attach.exec())
                rc = copyOut(out, idList);
            else
                qWarning() << "Cannot read" << m_databaseFile
                           << "for a mini database:" << attach.lastError().text();
            attach.finish();
            out.close();
        } else {
            qWarning() << "Cannot create" << part << ":" << out.lastError().text();
        }
    }
    QSqlDatabase::removeDatabase(name);
    return rc;
}

XrfErrorInfo::XrfError MiniDatabaseBuild::copyOut(QSqlDatabase &out, const QString &idList)
{
    const auto run = [&out](const QString &statement) {
        return SqlText::execStatement(out, statement) == XrfErrorInfo::NoError;
    };
    // The part is synced whole before it is renamed: no journal, no syncs
    // while it is written.
    for (const char *pragma : { "PRAGMA main.page_size=4096", "PRAGMA main.journal_mode=MEMORY",
                                "PRAGMA main.synchronous=OFF" })
        QSqlQuery(out).exec(QLatin1String(pragma));
    for (const ResultSchema::Table &table : ResultSchema::tables())
        if (!run(table.createStatement()))
            return XrfErrorInfo::FileCreateFailed;

    if (!out.transaction())
        return XrfErrorInfo::DbQueryFailed;
    XrfErrorInfo::XrfError rc = XrfErrorInfo::NoError;
    const QStringList tables = MiniDatabase::copiedTables() << XrfTables::filterProps;
    for (const QString &name : tables) {
        const ResultSchema::Table &table = ResultSchema::table(name);
        // A test's rows keep their order. By test id first: the testId
        // index gives that order without sorting (and holding) the spectra.
        QString where = QStringLiteral("testId IN (%1) ORDER BY testId, rowid").arg(idList);
        if (name == XrfTables::averagedResultInfo)
            where = QStringLiteral("averagedTestId IN (%1) ORDER BY rowid").arg(idList);
        else if (name == XrfTables::filterProps)
            where = QStringLiteral("id IN (SELECT filterPosition FROM main.") + XrfTables::spectrum
                    + QStringLiteral(") ORDER BY id");
        const QString columns = table.columnNames();
        if (!run(QStringLiteral("INSERT INTO main.%1 (%2) SELECT %2 FROM src.%1 WHERE %3")
                         .arg(name, columns, where))) {
            rc = XrfErrorInfo::DbQueryFailed;
            break;
        }
        if (aborted()) {
            qInfo() << "Aborting the Sync operation at "
                    << "getResultsInSqlDbFromTestDateTime";
            rc = XrfErrorInfo::OperationAborted;
            break;
        }
    }
    if (rc == XrfErrorInfo::NoError
        && (XrfUtils::faultPointArmed("minidb-build-commit-fail") || !out.commit()))
        rc = XrfErrorInfo::DbQueryFailed;
    if (rc != XrfErrorInfo::NoError)
        out.rollback();
    return rc;
}
