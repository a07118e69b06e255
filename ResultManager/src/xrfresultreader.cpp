// The connection is opened with SQLite's read-only flag, so nothing a reader
// does can change the card; its name is unique to the reader, since Qt ties
// a connection to the thread that made it.

#include "xrfresultreader.h"

#include <QDir>
#include <QFileInfo>
#include <QScopedPointer>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include "readonlyconnection.h"
#include "requestarguments.h"
#include "resultqueries.h"
#include "resultreader.h"
#include "resultschema.h"
#include "sqlitestatement.h"
#include "sqltext.h"
#include "xrfsettingsmanager.h"
#include "xrfutils.h"

class XrfResultReaderPrivate
{
public:
    explicit XrfResultReaderPrivate(const QString &file)
        : connection(file), db(connection.database())
    {
    }

    ReadOnlyConnection connection;
    QSqlDatabase db;
    QString imageFolder;
    QScopedPointer<ResultReader> reader;
    // The exactly-once lookup is asked for every queued result.
    SqlText::StatementCache statements;
    QString error;
    bool open = false;

    bool notes() const
    {
        bool enabled = false;
        return XrfSettingsManager::instance()->getEnableCalendarNote(enabled) == 0 && enabled;
    }
    XrfErrorInfo::XrfError notOpen() const
    {
        return open ? XrfErrorInfo::NoError : XrfErrorInfo::DbOpenFailed;
    }
};

XrfResultReader::XrfResultReader(const QString &databaseFile)
    : d(new XrfResultReaderPrivate(databaseFile))
{
    d->imageFolder = QDir(QFileInfo(databaseFile).absolutePath() + QStringLiteral("/../images"))
                             .absolutePath();
    d->error = d->connection.error();
    QSqlQuery probe(d->db);
    if (d->connection.isOpen()
        && !probe.exec(QStringLiteral("SELECT count(*) FROM ") + XrfTables::analysisResult))
        d->error = probe.lastError().text();
    probe.finish();
    if (!d->error.isEmpty())
        return;
    d->reader.reset(new ResultReader(d->db));
    d->statements.reset(d->db);
    d->open = true;
}

XrfResultReader::~XrfResultReader()
{
    // The reader's statements go before their connection.
    d->reader.reset();
    d->statements.reset();
    delete d;
}

bool XrfResultReader::isOpen() const
{
    return d->open;
}

QString XrfResultReader::errorString() const
{
    return d->error;
}

XrfErrorInfo::XrfError XrfResultReader::result(int testId, XrfKorviResult *result)
{
    if (!d->open)
        return d->notOpen();
    return d->reader->read(testId, result);
}

XrfErrorInfo::XrfError XrfResultReader::calendar(QJsonObject *calendar)
{
    if (!d->open)
        return d->notOpen();
    return ResultQueries(d->db).calendar(calendar);
}

XrfErrorInfo::XrfError XrfResultReader::tests(const QDateTime &from, bool fromIncluded,
                                              const QDateTime &to, bool toIncluded,
                                              QJsonArray *tests)
{
    if (!d->open)
        return d->notOpen();
    return ResultQueries(d->db).tests(RequestArguments::withinStoredYears(from), fromIncluded,
                                      RequestArguments::withinStoredYears(to), toIncluded,
                                      d->notes(), tests);
}

XrfErrorInfo::XrfError XrfResultReader::latestTests(int number, QJsonArray *tests)
{
    if (!d->open)
        return d->notOpen();
    return ResultQueries(d->db).latestTests(number, d->notes(), tests);
}

XrfErrorInfo::XrfError XrfResultReader::search(const QString &text, int limit, QJsonArray *tests)
{
    if (!d->open)
        return d->notOpen();
    const QString wanted = text.trimmed();
    if (wanted.isEmpty())
        return XrfErrorInfo::InvalidArgument;
    // Compared here rather than with LIKE, which folds the case of ASCII
    // letters only: "müller" finds "Müller".
    QSqlQuery q(d->db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT a.testId, a.tidName, a.testDateTime, t.info FROM %1 a "
                               "LEFT JOIN %2 t ON t.testId = a.testId ORDER BY %3 DESC, "
                               "a.testId DESC")
                        .arg(XrfTables::analysisResult, XrfTables::testInfo,
                             ResultQueries::dateKey(QStringLiteral("a.testDateTime")))))
        return XrfErrorInfo::DbQueryFailed;
    int last = -1;
    while (q.next() && (limit <= 0 || tests->size() < limit)) {
        const int id = q.value(0).toInt();
        if (id == last)
            continue;
        if (q.value(1).toString().contains(wanted, Qt::CaseInsensitive)
            || q.value(3).toString().contains(wanted, Qt::CaseInsensitive)) {
            last = id;
            tests->append(QJsonObject { { QStringLiteral("tid"), id },
                                        { QStringLiteral("tidName"), q.value(1).toString() },
                                        { QStringLiteral("dateTime"), q.value(2).toString() } });
        }
    }
    return q.lastError().isValid() ? XrfErrorInfo::DbQueryFailed : XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError XrfResultReader::neighbours(int testId, int *previous, int *next)
{
    if (!d->open)
        return d->notOpen();
    *previous = 0;
    *next = 0;
    const QString key = ResultQueries::dateKey(QStringLiteral("testDateTime"));
    QSqlQuery self(d->db);
    self.prepare(QStringLiteral("SELECT %1 FROM %2 WHERE testId = ?")
                         .arg(key, XrfTables::analysisResult));
    self.addBindValue(testId);
    if (!self.exec())
        return XrfErrorInfo::DbQueryFailed;
    if (!self.next())
        return XrfErrorInfo::ResultNotFound;
    const QVariant at = self.value(0);
    self.finish();
    // Ordered by date-time, then test id, as every list is.
    for (const bool after : { false, true }) {
        QSqlQuery q(d->db);
        q.prepare(QStringLiteral("SELECT testId FROM %1 WHERE %2 %3 ? OR (%2 = ? AND testId %4 ?) "
                                 "ORDER BY %2 %5, testId %5 LIMIT 1")
                          .arg(XrfTables::analysisResult, key,
                               after ? QStringLiteral(">") : QStringLiteral("<"),
                               after ? QStringLiteral(">") : QStringLiteral("<"),
                               after ? QStringLiteral("ASC") : QStringLiteral("DESC")));
        q.addBindValue(at);
        q.addBindValue(at);
        q.addBindValue(testId);
        if (!q.exec())
            return XrfErrorInfo::DbQueryFailed;
        if (q.next())
            *(after ? next : previous) = q.value(0).toInt();
    }
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError XrfResultReader::summaries(const QList<int> &testIds, QJsonArray *summaries)
{
    if (!d->open)
        return d->notOpen();
    // On SQLite's own handle: a list of a few hundred tests runs three
    // statements for each, where Qt's per-row records would cost the most.
    SqliteStatement head(
            d->db,
            QStringLiteral("SELECT testDateTime, tidName, methodDispName, methodId FROM ")
                    + XrfTables::analysisResult + QStringLiteral(" WHERE testId = ?"));
    SqliteStatement grade(d->db,
                          QStringLiteral("SELECT gradeName FROM ") + XrfTables::gradeMatch
                                  + QStringLiteral(" WHERE testId = ? ORDER BY rowid LIMIT 1"));
    SqliteStatement elements(d->db,
                             QStringLiteral("SELECT elementName, concentration, error FROM ")
                                     + XrfTables::elementResult
                                     + QStringLiteral(" WHERE testId = ? ORDER BY rowid"));
    // One read transaction: the list is one state of the file.
    d->db.transaction();
    XrfErrorInfo::XrfError rc = XrfErrorInfo::NoError;
    for (int id : testIds) {
        head.addBindValue(id);
        if (!head.exec()) {
            rc = XrfErrorInfo::DbQueryFailed;
            break;
        }
        if (!head.next())
            continue;
        QJsonObject summary { { QStringLiteral("tid"), id },
                              { QStringLiteral("dateTime"), head.value(0).toString() },
                              { QStringLiteral("tidName"), head.value(1).toString() },
                              { QStringLiteral("method"),
                                head.value(2).toString().isEmpty() ? head.value(3).toString()
                                                                   : head.value(2).toString() } };
        head.finish();
        grade.addBindValue(id);
        elements.addBindValue(id);
        if (!grade.exec() || !elements.exec()) {
            rc = XrfErrorInfo::DbQueryFailed;
            break;
        }
        summary.insert(QStringLiteral("grade"),
                       grade.next() ? grade.value(0).toString() : QString());
        grade.finish();
        QJsonArray found;
        while (elements.next())
            found.append(
                    QJsonObject { { QStringLiteral("element"), elements.value(0).toString() },
                                  { QStringLiteral("concentration"), elements.value(1).toDouble() },
                                  { QStringLiteral("error"), elements.value(2).toDouble() } });
        elements.finish();
        summary.insert(QStringLiteral("elements"), found);
        summaries->append(summary);
    }
    d->db.commit();
    return rc;
}

XrfErrorInfo::XrfError XrfResultReader::picturePath(int testId, int index, QString *path)
{
    if (!d->open)
        return d->notOpen();
    QSqlQuery q(d->db);
    q.prepare(QStringLiteral("SELECT fileName FROM ") + XrfTables::imageResult
              + QStringLiteral(" WHERE testId = ? ORDER BY id LIMIT 1 OFFSET ?"));
    q.addBindValue(testId);
    q.addBindValue(qMax(0, index));
    if (!q.exec())
        return XrfErrorInfo::DbQueryFailed;
    if (index < 0 || !q.next())
        return XrfErrorInfo::ResultNotFound;
    // A stored name is a name inside the store, never a way out of it.
    *path = SqlText::storedImagePath(d->imageFolder, q.value(0).toString());
    if (path->isEmpty() || !QFileInfo(*path).isFile())
        return XrfErrorInfo::ResultNotFound;
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError XrfResultReader::storedTestId(const QString &testDateTime,
                                                     const QString &tidName, int *testId)
{
    *testId = -1;
    if (!d->open)
        return d->notOpen();
    return ResultQueries(d->statements).storedTestId(testDateTime, tidName, testId);
}

XrfErrorInfo::XrfError XrfResultReader::contains(int testId, bool *found)
{
    *found = false;
    if (!d->open)
        return d->notOpen();
    if (XrfUtils::faultPointArmed("reader-query-fail"))
        return XrfErrorInfo::DbQueryFailed;
    return ResultQueries(d->db).testIdExists(testId, found);
}
