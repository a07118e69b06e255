#ifndef RESULTQUERIES_H
#define RESULTQUERIES_H

// The id and date questions asked of the stored results over one open
// connection: the latest test id, whether an id is stored, the last
// date-time, the ids and tests between two date-times, the latest tests, the
// calendar and the count.
//
// Plain and short-lived: built per question from the connection, no signals,
// no state of its own; it runs on the thread that owns the connection.
//
// Every date-time comparison runs both sides through dateKey(), so a bound
// and a stored text meet at millisecond precision whatever form the stored
// text has (older files hold other forms); bounds are bound, never spliced.
// Lists are ordered by date-time, then test id.

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QSqlDatabase>
#include <QString>

#include "sqltext.h"
#include "xrferrorinfo.h"

class ResultQueries
{
public:
    explicit ResultQueries(const QSqlDatabase &db);
    // Over the connection of `statements`, whose prepared statements the
    // lookups done many times a second (storedTestId) reuse.
    explicit ResultQueries(SqlText::StatementCache &statements);

    // 0 when none is stored (or the query fails).
    XrfErrorInfo::XrfError latestTestId(int *tid);
    // false also when the query fails.
    XrfErrorInfo::XrfError testIdExists(int tid, bool *exists);
    // Empty when none is stored.
    XrfErrorInfo::XrfError lastTestDateTime(QString *testDateTime);
    // Ids after `from` up to `to`, by date-time, at most `limit` (0: all),
    // appended to *testIds comma-separated.
    XrfErrorInfo::XrfError testIdsBetweenDates(const QString &from, const QString &to,
                                               QString *testIds, quint32 limit);
    XrfErrorInfo::XrfError recordCount(int *count);

    // {"tid", "tidName", "dateTime" (stored text) and, with notes, "note"
    // (the first test info entry as "label: info", when there is one)} for
    // each test from `from` (inclusive or not) to `to` (inclusive or not).
    XrfErrorInfo::XrfError tests(const QDateTime &from, bool fromIncluded, const QDateTime &to,
                                 bool toIncluded, bool notes, QJsonArray *tests);
    // The `number` newest tests, newest first, as tests() gives them.
    XrfErrorInfo::XrfError latestTests(int number, bool notes, QJsonArray *tests);
    // {"Calendar": [{year: [{month: [day, ...]}]}], "numOfRecsInDb": n}, on
    // local days, ascending, numbers without leading zeros.
    XrfErrorInfo::XrfError calendar(QJsonObject *calendar);
    // The tests named `tidName` in [from, to).
    XrfErrorInfo::XrfError testIdsNamed(const QString &tidName, const QDateTime &from,
                                        const QDateTime &to, QList<int> *ids);
    // The test id stored with this date-time text and name, or -1.
    XrfErrorInfo::XrfError storedTestId(const QString &testDateTime, const QString &tidName,
                                        int *testId);
    // How many stored tests are not among `ids`.
    XrfErrorInfo::XrfError countOutside(const QList<int> &ids, int *count);

    // Adds the ids of the tests in each range, once each.
    bool addTestIdsOfRanges(const QList<QPair<QDateTime, QDateTime>> &ranges, QList<int> *ids);
    // The ids of a request's id list and date ranges (local wall-clock);
    // false when one part does not parse or a lookup fails.
    bool selectTests(const QString &dateList, const QString &tidList, QList<int> *ids);

    // The SQL that turns a date-time text into its comparable form.
    static QString dateKey(const QString &expression);

private:
    QSqlDatabase m_db;
    SqlText::StatementCache *m_statements = nullptr;
};

#endif // RESULTQUERIES_H
