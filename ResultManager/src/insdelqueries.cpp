// Insertion and deletion of results. Every changing statement goes through
// execInsDelQuery(), which logs a failing statement with the driver's text.

#include "insdelqueries.h"

#include <QDebug>
#include <QSqlError>
#include <QSqlQuery>

#include "databasemanager.h"
#include "resultmanager.h"

namespace InsDelQueries {

QString escapeQuotes(const QString &value)
{
    QString escaped = value;
    escaped.replace(QLatin1Char('\''), QLatin1String("''"));
    return escaped;
}

QString sqlQuote(const QString &value)
{
    return QLatin1Char('\'') + escapeQuotes(value) + QLatin1Char('\'');
}

} // namespace InsDelQueries

XrfErrorInfo::XrfError DatabaseManager::execInsDelQuery(const QString &statement)
{
    QSqlQuery q(workingHandle());
    q.setForwardOnly(true);
    const bool ok = q.exec(statement);
    if (!ok) {
        qDebug() << "Failed Query is " << statement;
        qDebug() << "SQL error is " << q.lastError().text();
    }
    q.finish();
    q.clear();
    return ok ? XrfErrorInfo::NoError : XrfErrorInfo::DbQueryFailed;
}

XrfErrorInfo::XrfError DatabaseManager::insertTestResult(XrfKorviResult result)
{
    Q_UNUSED(result);
    emit XrfResultManager::instance()->resultInserted(XrfErrorInfo::NotImplemented);
    return XrfErrorInfo::NotImplemented;
}

XrfErrorInfo::XrfError DatabaseManager::editTestInfo(QJsonArray testInfo, int testId, int id)
{
    Q_UNUSED(testInfo);
    Q_UNUSED(testId);
    answerNotImplemented(604, id);
    return XrfErrorInfo::NotImplemented;
}

XrfErrorInfo::XrfError DatabaseManager::deleteAllResultsByDate(QString dateList, QString tidList,
                                                               int id)
{
    Q_UNUSED(dateList);
    Q_UNUSED(tidList);
    answerNotImplemented(103, id);
    return XrfErrorInfo::NotImplemented;
}

XrfErrorInfo::XrfError DatabaseManager::deleteAllResultsByTestIds(QString testIds, int id)
{
    Q_UNUSED(testIds);
    answerNotImplemented(102, id);
    return XrfErrorInfo::NotImplemented;
}

XrfErrorInfo::XrfError DatabaseManager::deleteAllResultsWithOption(XrfExportParam param, int id)
{
    Q_UNUSED(param);
    answerNotImplemented(id, id);
    return XrfErrorInfo::NotImplemented;
}
