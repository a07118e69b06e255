#ifndef RESULTQUERIES_H
#define RESULTQUERIES_H

// The id and date questions asked of the stored results over one open
// connection: the latest test id, whether an id is stored, the last
// date-time, the ids between two date-times and the count.
//
// Plain and short-lived: built per question from the connection, no signals,
// no state of its own; it runs on the thread that owns the connection.

#include <QSqlDatabase>
#include <QString>

#include "xrferrorinfo.h"

class ResultQueries
{
public:
    explicit ResultQueries(const QSqlDatabase &db);

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

private:
    QSqlDatabase m_db;
};

#endif // RESULTQUERIES_H
