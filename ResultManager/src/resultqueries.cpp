#include "resultqueries.h"

#include <QDebug>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>

#include "insdelqueries.h"
#include "resultschema.h"

using InsDelQueries::sqlQuote;

ResultQueries::ResultQueries(const QSqlDatabase &db) : m_db(db) { }

XrfErrorInfo::XrfError ResultQueries::latestTestId(int *tid)
{
    if (!tid)
        return XrfErrorInfo::InvalidArgument;
    *tid = InsDelQueries::latestTestId(m_db);
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultQueries::testIdExists(int tid, bool *exists)
{
    if (!exists)
        return XrfErrorInfo::InvalidArgument;
    *exists = false;
    QSqlQuery q(m_db);
    if (!q.exec(QStringLiteral("select testId from %1 where testId = %2;")
                        .arg(XrfTables::analysisResult, sqlQuote(QString::number(tid)))))
        return XrfErrorInfo::DbQueryFailed;
    while (q.next()) {
        if (q.value(0).toInt() == tid)
            *exists = true;
    }
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultQueries::lastTestDateTime(QString *testDateTime)
{
    if (!testDateTime)
        return XrfErrorInfo::InvalidArgument;
    testDateTime->clear();
    QSqlQuery q(m_db);
    if (q.exec(QStringLiteral("SELECT testDateTime FROM ") + XrfTables::analysisResult
               + QStringLiteral(" ORDER BY testDateTime DESC LIMIT 1;"))
        && q.next())
        *testDateTime = q.value(0).toString();
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultQueries::testIdsBetweenDates(const QString &from, const QString &to,
                                                          QString *testIds, quint32 limit)
{
    QString statement = QStringLiteral("SELECT testId FROM ") + XrfTables::analysisResult
            + QStringLiteral(" WHERE datetime(testDateTime) > datetime(") + sqlQuote(from)
            + QStringLiteral(") AND datetime(testDateTime) <= ") + sqlQuote(to)
            + QStringLiteral(" ORDER BY datetime(testDateTime)");
    if (limit > 0)
        statement += QStringLiteral(" LIMIT %1").arg(limit);
    statement += QLatin1Char(';');

    QSqlQuery q(m_db);
    if (!q.exec(statement)) {
        qDebug() << "SQL Query failed with error: " << q.lastError().text();
        qDebug() << "Failed SQL query is " << statement;
        return XrfErrorInfo::DbQueryFailed;
    }
    QStringList ids;
    while (q.next())
        ids << QString::number(q.value(0).toInt());
    if (testIds && !ids.isEmpty()) {
        if (!testIds->isEmpty())
            testIds->append(QLatin1Char(','));
        testIds->append(ids.join(QLatin1Char(',')));
    }
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultQueries::recordCount(int *count)
{
    QSqlQuery q(m_db);
    if (!q.exec(QStringLiteral("select count(testId) from ") + XrfTables::analysisResult
                + QStringLiteral(";"))
        || !q.next())
        return XrfErrorInfo::DbQueryFailed;
    if (count)
        *count = q.value(0).toInt();
    return XrfErrorInfo::NoError;
}
