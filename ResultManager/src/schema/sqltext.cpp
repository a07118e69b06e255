#include "sqltext.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>

#include "resultschema.h"
#include "xrfutils.h"

namespace SqlText {

QString escapeQuotes(const QString &value)
{
    QString escaped = value;
    escaped.replace(QLatin1Char('\''), QLatin1String("''"));
    return escaped;
}

QString sqlQuote(const QString &value)
{
    const QString quoted = QLatin1Char('\'') + escapeQuotes(value) + QLatin1Char('\'');
    if (!value.contains(QChar(0)))
        return quoted;
    QString spliced = quoted;
    spliced.replace(QChar(0), QLatin1String("'||char(0)||'"));
    return spliced;
}

QString nonFiniteText(double value)
{
    if (qIsNaN(value))
        return QStringLiteral("NaN");
    return value > 0 ? QStringLiteral("Inf") : QStringLiteral("-Inf");
}

QString sixDigits(double value)
{
    return qIsFinite(value) ? QString::number(value, 'g', 6) : nonFiniteText(value);
}

QString seventeenDigits(double value)
{
    return qIsFinite(value) ? QString::number(value, 'g', 17) : nonFiniteText(value);
}

XrfErrorInfo::XrfError execStatement(QSqlDatabase db, const QString &statement)
{
    QSqlQuery q(db);
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

int latestTestId(QSqlDatabase db)
{
    QSqlQuery q(db);
    if (q.exec(QStringLiteral("SELECT testId FROM ") + XrfTables::analysisResult
               + QStringLiteral(" ORDER BY testId DESC LIMIT 1;"))
        && q.next())
        return q.value(0).toInt();
    return 0;
}

QString storedImagePath(const QString &imageFolder, const QString &name)
{
    const QString folder = QDir::cleanPath(QFileInfo(imageFolder).absoluteFilePath());
    const QString path = QDir::cleanPath(folder + QLatin1Char('/') + name);
    return path.startsWith(folder + QLatin1Char('/')) ? path : QString();
}

QString storedImageName(const QString &tidName, const QDateTime &testDateTime, int number)
{
    const QDateTime when = testDateTime.toUTC();
    const QString testDate = when.toString(QStringLiteral("yyyy-MM-dd"));
    // Unique to the result (its UTC time to the millisecond) and safe on any
    // card; a re-insertion after a kill finds its own target again.
    const QString suffix = QStringLiteral("-%1-%2.jpeg")
                                   .arg(when.toString(QStringLiteral("hhmmsszzz")))
                                   .arg(number);
    const QString prefix = QStringLiteral("img-") + testDate + QLatin1Char('-');
    return testDate + QLatin1Char('/') + prefix
            + XrfUtils::safeFileNamePart(tidName,
                                         255 - prefix.toUtf8().size() - suffix.toUtf8().size())
            + suffix;
}

bool setSynchronous(QSqlDatabase db, int level)
{
    QSqlQuery q(db);
    q.exec(QStringLiteral("PRAGMA main.synchronous=%1").arg(level));
    if (q.exec(QStringLiteral("PRAGMA main.synchronous")) && q.next()
        && q.value(0).toInt() == level)
        return true;
    qWarning() << "The synchronous level" << level << "did not take:" << q.lastError().text();
    return false;
}

bool beginWrite(QSqlDatabase db)
{
    QSqlQuery q(db);
    if (q.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return true;
    qWarning() << "A write transaction cannot begin:" << q.lastError().text();
    return false;
}

int durableLevel(QSqlDatabase db)
{
    QSqlQuery q(db);
    const bool wal = q.exec(QStringLiteral("PRAGMA main.journal_mode")) && q.next()
            && q.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) == 0;
    return wal ? 2 : 3;
}

QSqlQuery *StatementCache::prepared(const QString &text)
{
    auto it = m_queries.find(text);
    if (it == m_queries.end()) {
        QSqlQuery q(m_db);
        q.setForwardOnly(true);
        if (!q.prepare(text)) {
            qDebug() << "Cannot prepare" << text << q.lastError().text();
            return nullptr;
        }
        it = m_queries.insert(text, q);
    }
    return &it.value();
}

bool runScript(QSqlDatabase db, const QString &script, const char *failure)
{
    bool ok = true;
    const QStringList statements = script.split(QLatin1Char(';'));
    for (const QString &piece : statements) {
        const QString statement = piece.trimmed();
        if (statement.isEmpty())
            continue;
        QSqlQuery q(db);
        if (!q.exec(statement)) {
            qInfo() << failure << statement;
            ok = false;
        }
        q.finish();
    }
    return ok;
}

} // namespace SqlText
