// A slice never leaves a transaction open, and runs only on a file in
// incremental mode: a file made otherwise would need a full VACUUM, which
// rewrites the whole file and is not done behind the user's back.
//
// Plain and built per slice over the caller's connection; the timer stays
// with the database object, whose thread owns the connection. The report's
// state is the process's, so slices of successive objects report as one run.

#include "databasevacuum.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QSqlDriver>
#include <QSqlQuery>
#include <QVariant>

#include <sqlite3.h>

namespace {

// QSqlQuery steps a statement without result columns only once, and
// incremental_vacuum frees one page per step; the driver's own handle runs
// it to the end.
void runToCompletion(QSqlDatabase &db, const QString &statement)
{
    const QVariant handle = db.driver()->handle();
    if (handle.isValid() && qstrcmp(handle.typeName(), "sqlite3*") == 0) {
        sqlite3 *raw = *static_cast<sqlite3 *const *>(handle.constData());
        if (raw) {
            sqlite3_exec(raw, statement.toUtf8().constData(), nullptr, nullptr, nullptr);
            return;
        }
    }
    QSqlQuery(db).exec(statement);
}

// The slice report of the incremental vacuum belongs to the process.
qint64 s_vacuumReportStep = 0;
qint64 s_vacuumLastReported = 0;

} // namespace

DatabaseVacuum::DatabaseVacuum(const QSqlDatabase &db) : m_db(db) { }

bool DatabaseVacuum::isIncremental()
{
    QSqlQuery mode(m_db);
    return mode.exec(QStringLiteral("PRAGMA auto_vacuum;")) && mode.next()
            && mode.value(0).toInt() == 2;
}

qint64 DatabaseVacuum::freePages()
{
    QSqlQuery count(m_db);
    if (count.exec(QStringLiteral("PRAGMA freelist_count;")) && count.next())
        return count.value(0).toLongLong();
    return 0;
}

qint64 DatabaseVacuum::runSlice()
{
    QElapsedTimer clock;
    clock.start();
    m_db.transaction();
    runToCompletion(m_db, QStringLiteral("PRAGMA incremental_vacuum(10000);"));
    m_db.commit();
    // In write-ahead-log mode the file gives the pages back only when the
    // log is folded into it.
    QSqlQuery(m_db).exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
    return clock.elapsed();
}

void DatabaseVacuum::startReport(qint64 freePages)
{
    s_vacuumReportStep = qint64(freePages * 0.1);
    s_vacuumLastReported = freePages + s_vacuumReportStep;
}

void DatabaseVacuum::reportSlice(qint64 freePages, qint64 elapsedMs)
{
    if (s_vacuumLastReported - freePages >= s_vacuumReportStep) {
        qInfo() << "Incrementally vacumming the database in " << elapsedMs
                << " msecs. freelist size is " << freePages;
        s_vacuumLastReported = freePages;
    }
}

void DatabaseVacuum::resetReport()
{
    s_vacuumLastReported = 0;
}

bool DatabaseVacuum::step(bool going)
{
    if (!isIncremental())
        return false;
    const qint64 freeList = freePages();
    if (freeList <= 0) {
        resetReport();
        return false;
    }
    const qint64 elapsed = runSlice();
    if (!going)
        startReport(freeList);
    reportSlice(freeList, elapsed);
    return true;
}
