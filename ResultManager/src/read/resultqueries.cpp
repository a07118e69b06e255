#include "resultqueries.h"

#include <QDebug>
#include <QMap>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QTimeZone>

#include <limits>

#include "requestarguments.h"
#include "resultschema.h"
#include "sqltext.h"

using SqlText::sqlQuote;

namespace {

// The columns of one listed test, and its first test info entry as a note.
QString listColumns(bool notes)
{
    QString columns = QStringLiteral("a.testId, a.tidName, a.testDateTime");
    if (notes)
        columns += QStringLiteral(", (SELECT t.label || ': ' || t.info FROM ") + XrfTables::testInfo
                + QStringLiteral(" t WHERE t.testId = a.testId ORDER BY t.id LIMIT 1)");
    return columns;
}

XrfErrorInfo::XrfError readList(QSqlQuery &q, bool notes, QJsonArray *tests)
{
    if (!q.exec()) {
        qDebug() << "SQL Query failed: " << q.lastQuery() << q.lastError().text();
        return XrfErrorInfo::DbQueryFailed;
    }
    while (q.next()) {
        QJsonObject test { { QStringLiteral("tid"), q.value(0).toInt() },
                           { QStringLiteral("tidName"), q.value(1).toString() },
                           { QStringLiteral("dateTime"), q.value(2).toString() } };
        if (notes && !q.value(3).isNull())
            test.insert(QStringLiteral("note"), q.value(3).toString());
        tests->append(test);
    }
    return XrfErrorInfo::NoError;
}

// The local dates of stored date-time texts. The calendar reads every row,
// so the zone's offset is looked up once per stretch between two of its
// transitions, not per row, and the stored form is read by hand.
class LocalDates
{
public:
    QDate dateOf(const QString &stored)
    {
        qint64 ms = 0;
        if (!parseStored(stored, &ms)) {
            QDateTime utc;
            if (!RequestArguments::parseUtcDateTime(stored, &utc))
                return QDate();
            ms = utc.toMSecsSinceEpoch();
        }
        if (ms < m_validFrom || ms >= m_validUntil)
            lookUp(ms);
        const qint64 local = ms + m_offsetMsecs;
        const qint64 day = local >= 0 ? local / 86400000 : (local - 86399999) / 86400000;
        return QDate::fromJulianDay(epochJulianDay + day);
    }

private:
    static constexpr qint64 epochJulianDay = 2440588;

    static bool parseStored(const QString &s, qint64 *ms)
    {
        if (s.size() != 23 || s.at(4) != QLatin1Char('-') || s.at(10) != QLatin1Char(' '))
            return false;
        bool ok[7];
        const int year = s.midRef(0, 4).toInt(&ok[0]);
        const int month = s.midRef(5, 2).toInt(&ok[1]);
        const int day = s.midRef(8, 2).toInt(&ok[2]);
        const int hour = s.midRef(11, 2).toInt(&ok[3]);
        const int minute = s.midRef(14, 2).toInt(&ok[4]);
        const int second = s.midRef(17, 2).toInt(&ok[5]);
        const int msec = s.midRef(20, 3).toInt(&ok[6]);
        const QDate date(year, month, day);
        if (!date.isValid() || hour > 23 || minute > 59 || second > 59)
            return false;
        for (bool b : ok)
            if (!b)
                return false;
        *ms = (date.toJulianDay() - epochJulianDay) * 86400000
                + ((hour * 60 + minute) * 60 + second) * 1000 + msec;
        return true;
    }

    void lookUp(qint64 ms)
    {
        const QDateTime at = QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
        m_offsetMsecs = qint64(at.toLocalTime().offsetFromUtc()) * 1000;
        m_validFrom = ms;
        m_validUntil = ms + 1;
        // Without the zone's transitions every row is looked up.
        if (m_zone.hasTransitions()) {
            const QTimeZone::OffsetData next = m_zone.nextTransition(at);
            if (m_zone.offsetFromUtc(at) * 1000LL == m_offsetMsecs)
                m_validUntil = next.atUtc.isValid() ? next.atUtc.toMSecsSinceEpoch()
                                                    : std::numeric_limits<qint64>::max();
        }
    }

    QTimeZone m_zone = QTimeZone::systemTimeZone();
    qint64 m_offsetMsecs = 0;
    qint64 m_validFrom = std::numeric_limits<qint64>::max();
    qint64 m_validUntil = std::numeric_limits<qint64>::min();
};

} // namespace

QString ResultQueries::dateKey(const QString &expression)
{
    // SQLite keeps julian days as whole milliseconds: exact to the
    // millisecond, and several times quicker than formatting text.
    return QStringLiteral("julianday(%1)").arg(expression);
}

ResultQueries::ResultQueries(const QSqlDatabase &db) : m_db(db) { }

ResultQueries::ResultQueries(SqlText::StatementCache &statements)
    : m_db(statements.database()), m_statements(&statements)
{
}

XrfErrorInfo::XrfError ResultQueries::latestTestId(int *tid)
{
    if (!tid)
        return XrfErrorInfo::InvalidArgument;
    *tid = SqlText::latestTestId(m_db);
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
            + QStringLiteral(" WHERE %1 > %2 AND %1 <= %3 ORDER BY %1, testId")
                      .arg(dateKey(QStringLiteral("testDateTime")), dateKey(QStringLiteral("?")),
                           dateKey(QStringLiteral("?")));
    if (limit > 0)
        statement += QStringLiteral(" LIMIT %1").arg(limit);
    statement += QLatin1Char(';');

    QSqlQuery q(m_db);
    q.prepare(statement);
    q.addBindValue(from);
    q.addBindValue(to);
    if (!q.exec()) {
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

XrfErrorInfo::XrfError ResultQueries::tests(const QDateTime &from, bool fromIncluded,
                                            const QDateTime &to, bool toIncluded, bool notes,
                                            QJsonArray *tests)
{
    const QString key = dateKey(QStringLiteral("a.testDateTime"));
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("SELECT ") + listColumns(notes) + QStringLiteral(" FROM ")
              + XrfTables::analysisResult
              + QStringLiteral(" a WHERE %1 %2 %3 AND %1 %4 %5 ORDER BY %1, a.testId")
                        .arg(key, fromIncluded ? QStringLiteral(">=") : QStringLiteral(">"),
                             dateKey(QStringLiteral("?")),
                             toIncluded ? QStringLiteral("<=") : QStringLiteral("<"),
                             dateKey(QStringLiteral("?"))));
    q.addBindValue(RequestArguments::storedText(from));
    q.addBindValue(RequestArguments::storedText(to));
    return readList(q, notes, tests);
}

XrfErrorInfo::XrfError ResultQueries::latestTests(int number, bool notes, QJsonArray *tests)
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("SELECT ") + listColumns(notes) + QStringLiteral(" FROM ")
              + XrfTables::analysisResult
              + QStringLiteral(" a ORDER BY %1 DESC, a.testId DESC LIMIT ?")
                        .arg(dateKey(QStringLiteral("a.testDateTime"))));
    // SQLite reads a negative limit as "no limit".
    q.addBindValue(qMax(0, number));
    return readList(q, notes, tests);
}

XrfErrorInfo::XrfError ResultQueries::calendar(QJsonObject *calendar)
{
    QMap<int, QMap<int, QMap<int, bool>>> days;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    // In time order, so that the zone is looked up once per stretch.
    if (q.exec(QStringLiteral("SELECT testDateTime FROM ") + XrfTables::analysisResult
               + QStringLiteral(" ORDER BY testDateTime ASC"))) {
        LocalDates dates;
        QDate last;
        while (q.next()) {
            const QDate date = dates.dateOf(q.value(0).toString());
            if (date.isValid() && date != last)
                days[date.year()][date.month()][date.day()] = true;
            last = date;
        }
    } else {
        qWarning() << "The calendar cannot be read:" << q.lastError().text();
        return XrfErrorInfo::DbQueryFailed;
    }
    QJsonArray years;
    for (auto y = days.cbegin(); y != days.cend(); ++y) {
        QJsonArray months;
        for (auto m = y->cbegin(); m != y->cend(); ++m) {
            QJsonArray dayTexts;
            for (auto d = m->cbegin(); d != m->cend(); ++d)
                dayTexts.append(QString::number(d.key()));
            months.append(QJsonObject { { QString::number(m.key()), dayTexts } });
        }
        years.append(QJsonObject { { QString::number(y.key()), months } });
    }
    int count = 0;
    if (recordCount(&count) != XrfErrorInfo::NoError)
        return XrfErrorInfo::DbQueryFailed;
    *calendar = QJsonObject { { QStringLiteral("Calendar"), years },
                              { QStringLiteral("numOfRecsInDb"), count } };
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultQueries::testIdsNamed(const QString &tidName, const QDateTime &from,
                                                   const QDateTime &to, QList<int> *ids)
{
    QSqlQuery q(m_db);
    q.prepare(
            QStringLiteral("SELECT testId FROM ") + XrfTables::analysisResult
            + QStringLiteral(" WHERE tidName = ? AND %1 >= %2 AND %1 < %2 ORDER BY %1, testId")
                      .arg(dateKey(QStringLiteral("testDateTime")), dateKey(QStringLiteral("?"))));
    q.addBindValue(tidName);
    q.addBindValue(RequestArguments::storedText(from));
    q.addBindValue(RequestArguments::storedText(to));
    if (!q.exec())
        return XrfErrorInfo::DbQueryFailed;
    while (q.next())
        ids->append(q.value(0).toInt());
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultQueries::countOutside(const QList<int> &ids, int *count)
{
    QSqlQuery q(m_db);
    // The list holds integers only (parsed), so it is spliced as numbers.
    if (!q.exec(QStringLiteral("SELECT count(*) FROM ") + XrfTables::analysisResult
                + QStringLiteral(" WHERE testId NOT IN (") + RequestArguments::joinTestIds(ids)
                + QStringLiteral(")"))
        || !q.next())
        return XrfErrorInfo::DbQueryFailed;
    *count = q.value(0).toInt();
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultQueries::storedTestId(const QString &testDateTime,
                                                   const QString &tidName, int *testId)
{
    *testId = -1;
    // A result without a date-time is never "the same" as another.
    if (testDateTime.isEmpty())
        return XrfErrorInfo::NoError;
    const QString text = QStringLiteral("SELECT testId FROM ") + XrfTables::analysisResult
            + QStringLiteral(" WHERE testDateTime = ? AND tidName = ? ORDER BY testId LIMIT 1");
    QSqlQuery local(m_db);
    QSqlQuery *prepared = m_statements ? m_statements->prepared(text) : nullptr;
    if (!prepared) {
        local.prepare(text);
        prepared = &local;
    }
    QSqlQuery &q = *prepared;
    q.addBindValue(testDateTime);
    // A result without a name is stored with '' (the column's default); a
    // null string would bind NULL, which equals nothing, and the result
    // would be stored again.
    q.addBindValue(tidName.isNull() ? QStringLiteral("") : tidName);
    if (!q.exec()) {
        qWarning() << "Cannot look up a stored result:" << q.lastError().text();
        return XrfErrorInfo::DbQueryFailed;
    }
    if (q.next())
        *testId = q.value(0).toInt();
    q.finish();
    return XrfErrorInfo::NoError;
}

bool ResultQueries::addTestIdsOfRanges(const QList<QPair<QDateTime, QDateTime>> &ranges,
                                       QList<int> *ids)
{
    for (const auto &range : ranges) {
        QString found;
        if (testIdsBetweenDates(RequestArguments::storedText(range.first),
                                RequestArguments::storedText(range.second), &found, 0)
            != XrfErrorInfo::NoError)
            return false;
        QList<int> inRange;
        RequestArguments::parseTestIds(found, &inRange);
        for (int id : qAsConst(inRange))
            if (!ids->contains(id))
                ids->append(id);
    }
    return true;
}

bool ResultQueries::selectTests(const QString &dateList, const QString &tidList, QList<int> *ids)
{
    QList<RequestArguments::DateRange> ranges;
    if (!RequestArguments::parseTestIds(tidList, ids)
        || !RequestArguments::parseDateList(dateList, &ranges)) {
        qInfo() << "Not a selection of tests:" << tidList << dateList;
        return false;
    }
    return addTestIdsOfRanges(ranges, ids);
}
