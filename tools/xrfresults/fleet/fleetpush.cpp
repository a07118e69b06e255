// Rows leave as multi-row INSERTs with their values written as literals: one
// round trip per table and batch instead of one per row, which is what keeps
// a push near the speed of COPY. Literals are E'' strings, right whatever
// standard_conforming_strings says.

#include "fleetpush.h"

#include <QDateTime>
#include <QFileInfo>
#include <QHash>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimeZone>
#include <QUrl>
#include <QUrlQuery>

#include <cmath>

#include "resultschema.h"
#include "xrfresultbatches.h"
#include "xrfutils.h"

namespace {

using FleetSchema::ident;
using FleetSchema::Type;

// A statement is sent once it holds this many characters.
const int statementLimit = 1 << 20;

int connectionNumber = 0;

// The server's first line says what; its DETAIL repeats the whole row.
QString oneLine(const QSqlError &error)
{
    const QString text = error.databaseText().isEmpty() ? error.text() : error.databaseText();
    const QString first = text.section(QLatin1Char('\n'), 0, 0).simplified();
    return first.isEmpty() ? text.simplified() : first;
}

QString quoted(const QString &text)
{
    QString escaped = text;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    escaped.replace(QLatin1Char('\''), QLatin1String("''"));
    return QLatin1String("E'") + escaped + QLatin1Char('\'');
}

bool isInteger(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return true;
    default:
        return false;
    }
}

bool isNumber(const QVariant &value)
{
    return isInteger(value) || value.userType() == QMetaType::Double;
}

QString fleetColumnList(const ResultSchema::Table &table)
{
    QStringList names;
    for (const ResultSchema::Column &column : table.columns)
        names << ident(column.name);
    return names.join(QLatin1Char(','));
}

QVector<Type> columnTypes(const ResultSchema::Table &table)
{
    QVector<Type> types;
    for (const ResultSchema::Column &column : table.columns)
        types << FleetSchema::columnType(column);
    return types;
}

// What the file holds in a column of another type is sent as text: the
// server takes it or refuses the result.
void appendLiteral(QString *sql, const QVariant &value, Type type)
{
    if (value.isNull()) {
        *sql += QLatin1String("NULL");
        return;
    }
    switch (type) {
    case Type::BigInt:
        if (isInteger(value)) {
            *sql += QString::number(value.toLongLong());
            return;
        }
        break;
    case Type::Double:
        if (isNumber(value)) {
            const double d = value.toDouble();
            if (std::isnan(d))
                *sql += QLatin1String("'NaN'");
            else if (std::isinf(d))
                *sql += d > 0 ? QLatin1String("'Infinity'") : QLatin1String("'-Infinity'");
            else
                *sql += QString::number(d, 'g', QLocale::FloatingPointShortest);
            return;
        }
        break;
    case Type::Boolean:
        if (isNumber(value)) {
            *sql += value.toDouble() != 0 ? QLatin1String("TRUE") : QLatin1String("FALSE");
            return;
        }
        break;
    case Type::Bytea: {
        // Spectra are most of what is sent: hex digits written in place.
        static const char digits[] = "0123456789abcdef";
        const QByteArray bytes = value.toByteArray();
        *sql += QLatin1String("E'\\\\x");
        const int at = sql->size();
        sql->resize(at + 2 * bytes.size());
        QChar *out = sql->data() + at;
        for (const char c : bytes) {
            *out++ = QLatin1Char(digits[uchar(c) >> 4]);
            *out++ = QLatin1Char(digits[uchar(c) & 15]);
        }
        *sql += QLatin1Char('\'');
        return;
    }
    case Type::Text:
        if (value.userType() == QMetaType::Double) {
            *sql += quoted(QString::number(value.toDouble(), 'g', QLocale::FloatingPointShortest));
            return;
        }
        break;
    }
    *sql += quoted(value.toString());
}

} // namespace

bool FleetPush::parseUrl(const QString &url, Target *target, QString *error)
{
    const QUrl parsed(url, QUrl::StrictMode);
    if (!parsed.isValid()
        || (parsed.scheme() != QLatin1String("postgresql")
            && parsed.scheme() != QLatin1String("postgres"))) {
        *error = QStringLiteral("--to needs postgresql://user@host:port/database, not '%1'")
                         .arg(url);
        return false;
    }
    const QUrlQuery query(parsed);
    if (!parsed.password().isEmpty() || query.hasQueryItem(QStringLiteral("password"))) {
        *error = QStringLiteral("no password in the URL: libpq reads it from PGPASSWORD or "
                                "~/.pgpass");
        return false;
    }
    *target = Target();
    target->user = parsed.userName();
    target->host = parsed.host();
    target->port = parsed.port(-1);
    target->database = parsed.path().mid(1);
    target->shown = parsed.toString();
    QStringList options;
    for (const auto &item : query.queryItems(QUrl::FullyDecoded)) {
        if (item.first == QLatin1String("host")) {
            target->host = item.second;
        } else if (item.first == QLatin1String("port")) {
            bool ok = false;
            target->port = item.second.toInt(&ok);
            if (!ok) {
                *error = QStringLiteral("port=%1 is no port number").arg(item.second);
                return false;
            }
        } else if (item.first == QLatin1String("user")) {
            target->user = item.second;
        } else if (item.first == QLatin1String("dbname")) {
            target->database = item.second;
        } else {
            options << item.first + QLatin1Char('=') + item.second;
        }
    }
    target->options = options.join(QLatin1Char(';'));
    return true;
}

FleetPush::FleetPush(const Target &target, const QString &databaseFile)
    : m_target(target), m_databaseFile(databaseFile)
{
    const int n = ++connectionNumber;
    m_serverName = QStringLiteral("fleet-server-%1").arg(n);
}

FleetPush::~FleetPush()
{
    if (m_server.isValid()) {
        m_server.close();
        m_server = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_serverName);
    }
}

bool FleetPush::openSource(QString *error)
{
    m_source.reset(new XrfResultBatches(m_databaseFile));
    if (!m_source->isOpen()) {
        *error = m_source->errorString();
        return false;
    }
    const XrfResultBatches::Device device = m_source->device();
    m_instrument.dbId = device.dbId;
    m_instrument.dbVersion = device.dbVersion;
    m_instrument.serial = device.serial;
    m_instrument.model = device.model;
    m_instrument.tubeAnode = device.tubeAnode;
    m_instrument.zone = QString::fromLatin1(QTimeZone::systemTimeZoneId());
    m_total = m_source->resultCount();
    const ResultSchema::Table &analysis = ResultSchema::table(XrfTables::analysisResult);
    m_testIdColumn = analysis.indexOf("testId");
    m_dateTimeColumn = analysis.indexOf("testDateTime");
    m_nameColumn = analysis.indexOf("tidName");
    return true;
}

bool FleetPush::connectServer(QString *error)
{
    m_server = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_serverName);
    if (!m_server.isValid()) {
        *error = QStringLiteral("Qt's PostgreSQL driver (QPSQL, libqt5sql5-psql) is missing");
        return false;
    }
    if (!m_target.host.isEmpty())
        m_server.setHostName(m_target.host);
    if (m_target.port > 0)
        m_server.setPort(m_target.port);
    m_server.setUserName(m_target.user);
    m_server.setDatabaseName(m_target.database);
    QStringList options { QStringLiteral("connect_timeout=10"),
                          QStringLiteral("application_name=xrfresults") };
    if (!m_target.options.isEmpty())
        options << m_target.options;
    m_server.setConnectOptions(options.join(QLatin1Char(';')));
    if (!m_server.open()) {
        *error = QStringLiteral("cannot log in to %1: %2")
                         .arg(m_target.shown, oneLine(m_server.lastError()));
        return false;
    }
    // IF NOT EXISTS would say "skipping" on stderr for every table.
    return exec(QStringLiteral("SET client_min_messages = warning"), error);
}

bool FleetPush::exec(const QString &sql, QString *error)
{
    QSqlQuery q(m_server);
    if (q.exec(sql))
        return true;
    *error = oneLine(q.lastError());
    return false;
}

bool FleetPush::serverAlive()
{
    QSqlQuery q(m_server);
    return q.exec(QStringLiteral("SELECT 1")) && q.next();
}

bool FleetPush::schemaPresent(bool *present, QString *error)
{
    QStringList names;
    QStringList tables;
    for (const QString &name : FleetSchema::objectNames()) {
        names << quoted(name);
        if (name != FleetSchema::elementView())
            tables << quoted(name);
    }
    QSqlQuery q(m_server);
    if (!q.exec(QStringLiteral("SELECT count(*) FROM pg_catalog.pg_class c JOIN "
                               "pg_catalog.pg_namespace n ON n.oid = c.relnamespace WHERE "
                               "n.nspname = current_schema() AND c.relname IN (%1)")
                        .arg(names.join(QLatin1Char(','))))
        || !q.next()) {
        *error = oneLine(q.lastError());
        return false;
    }
    *present = q.value(0).toInt() == names.size();
    if (!*present)
        return true;
    if (!q.exec(QStringLiteral("SELECT count(*) FROM information_schema.columns WHERE "
                               "table_schema = current_schema() AND table_name IN (%1)")
                        .arg(tables.join(QLatin1Char(','))))
        || !q.next()) {
        *error = oneLine(q.lastError());
        return false;
    }
    // A server a newer library set up may have more.
    *present = q.value(0).toInt() >= FleetSchema::tableColumnCount();
    return true;
}

bool FleetPush::createSchema(QString *error)
{
    if (!m_server.transaction()) {
        *error = oneLine(m_server.lastError());
        return false;
    }
    // Two instruments that find the schema missing at once create it once.
    QStringList statements { QStringLiteral("SELECT pg_advisory_xact_lock(7079)") };
    statements << FleetSchema::creationStatements();
    for (const QString &statement : statements) {
        if (!exec(statement, error)) {
            *error = QStringLiteral("cannot create the fleet schema: ") + *error;
            m_server.rollback();
            return false;
        }
    }
    if (!m_server.commit()) {
        *error = QStringLiteral("cannot create the fleet schema: ") + oneLine(m_server.lastError());
        return false;
    }
    return true;
}

bool FleetPush::registerInstrument(QString *error)
{
    // A zone the server does not know would break the view for everyone.
    QString zone = m_instrument.zone;
    if (zone.isEmpty()
        || !QSqlQuery(m_server).exec(QStringLiteral("SELECT now() AT TIME ZONE ") + quoted(zone)))
        zone = QStringLiteral("UTC");
    const Instrument &i = m_instrument;
    return exec(
            QStringLiteral("INSERT INTO instruments (serial, model, tubeanode, dbid, dbversion, "
                           "timezone) VALUES (%1, %2, %3, %4, %5, %6) ON CONFLICT (serial) DO "
                           "UPDATE SET model = excluded.model, tubeanode = excluded.tubeanode, "
                           "dbid = excluded.dbid, dbversion = excluded.dbversion, "
                           "timezone = excluded.timezone, lastpush = now()")
                    .arg(quoted(i.serial), quoted(i.model), quoted(i.tubeAnode), quoted(i.dbId),
                         quoted(i.dbVersion), quoted(zone)),
            error);
}

QString FleetPush::keyText(const QVector<QVariant> &row) const
{
    return row.value(m_dateTimeColumn).toString() + QLatin1Char(' ')
            + row.value(m_nameColumn).toString();
}

bool FleetPush::sendResults(const Batch &batch, int first, int count, int batchNumber,
                            Counts *counts, QString *error)
{
    const ResultSchema::Table &analysis = ResultSchema::table(XrfTables::analysisResult);
    const QVector<Type> types = columnTypes(analysis);
    const QString serial
            = quoted(m_instrument.serial) + QLatin1Char(',') + quoted(m_instrument.dbId);
    QString sql = QStringLiteral("INSERT INTO analysisresult (serial,dbid,testtime,%1) VALUES ")
                          .arg(fleetColumnList(analysis));
    for (int r = first; r < first + count; ++r) {
        const QVector<QVariant> &row = batch.results.at(r);
        const QDateTime utc = XrfResultBatches::storedDateTime(row.at(m_dateTimeColumn).toString());
        const QString testTime = utc.isValid()
                ? QLatin1Char('\'') + utc.toString(Qt::ISODateWithMs) + QLatin1Char('\'')
                : QStringLiteral("NULL");
        sql += (r == first ? QLatin1String("(") : QLatin1String(",(")) + serial + QLatin1Char(',')
                + testTime;
        for (int c = 0; c < row.size(); ++c) {
            sql += QLatin1Char(',');
            appendLiteral(&sql, row.at(c), types.at(c));
        }
        sql += QLatin1Char(')');
    }
    sql += QStringLiteral(" ON CONFLICT (serial,testdatetime,tidname) DO NOTHING "
                          "RETURNING testid,resultid");

    if (!m_server.transaction()) {
        *error = oneLine(m_server.lastError());
        return false;
    }
    QHash<qint64, qint64> resultIds;
    {
        QSqlQuery q(m_server);
        q.setForwardOnly(true);
        if (!q.exec(sql)) {
            *error = oneLine(q.lastError());
            m_server.rollback();
            return false;
        }
        while (q.next())
            resultIds.insert(q.value(0).toLongLong(), q.value(1).toLongLong());
    }
    for (const QString &table : FleetSchema::pushedTables()) {
        if (table == XrfTables::analysisResult
            || !FleetSchema::isPerResult(ResultSchema::table(table)))
            continue;
        if (!sendRows(table, resultIds, error)) {
            m_server.rollback();
            return false;
        }
    }
    XrfUtils::crashPoint(
            QStringLiteral("push-before-commit-%1").arg(batchNumber).toLatin1().constData());
    if (!m_server.commit()) {
        *error = oneLine(m_server.lastError());
        m_server.rollback();
        return false;
    }
    counts->sent += resultIds.size();
    counts->there += count - resultIds.size();
    return true;
}

bool FleetPush::sendRows(const QString &tableName, const QHash<qint64, qint64> &resultIds,
                         QString *error)
{
    if (resultIds.isEmpty())
        return true;
    const ResultSchema::Table &table = ResultSchema::table(tableName);
    const QVector<Type> types = columnTypes(table);
    const int testId = table.indexOf("testId");
    QList<qint64> ids;
    for (auto it = resultIds.cbegin(); it != resultIds.cend(); ++it)
        ids << it.key();
    const QString serial = quoted(m_instrument.serial);
    const QString head = QStringLiteral("INSERT INTO %1 (resultid,serial,%2) VALUES ")
                                 .arg(table.name, fleetColumnList(table));
    // One buffer for all statements: a fresh one each time costs more in
    // page faults than the copying itself.
    QString &sql = m_statement;
    sql.reserve(statementLimit + (1 << 16));
    auto flush = [&] {
        if (sql.isEmpty())
            return true;
        const bool ok = exec(sql, error);
        sql.resize(0);
        return ok;
    };
    bool sent = true;
    const bool read = m_source->rows(tableName, ids, [&](const XrfResultBatches::Row &row) {
        sql += sql.isEmpty() ? head + QLatin1Char('(') : QStringLiteral(",(");
        sql += QString::number(resultIds.value(row.at(testId).toLongLong()));
        sql += QLatin1Char(',');
        sql += serial;
        for (int c = 0; c < row.size(); ++c) {
            sql += QLatin1Char(',');
            appendLiteral(&sql, row.at(c), types.at(c));
        }
        sql += QLatin1Char(')');
        sent = sql.size() <= statementLimit || flush();
        return sent;
    });
    if (!read)
        *error = m_source->errorString();
    if (!read || !sent)
        return false;
    return flush();
}

bool FleetPush::sendPerInstrument(QString *error)
{
    for (const QString &name : FleetSchema::pushedTables()) {
        const ResultSchema::Table &table = ResultSchema::table(name);
        if (FleetSchema::isPerResult(table) || name == XrfTables::analysisResult)
            continue;
        const QVector<Type> types = columnTypes(table);
        const QString head = QStringLiteral("INSERT INTO %1 (serial,dbid,%2) VALUES ")
                                     .arg(name, fleetColumnList(table));
        const QString tail = QStringLiteral(" ON CONFLICT DO NOTHING");
        QString sql;
        bool sent = true;
        const bool read = m_source->allRows(name, [&](const XrfResultBatches::Row &row) {
            sql += (sql.isEmpty() ? head + QLatin1Char('(') : QStringLiteral(",("))
                    + quoted(m_instrument.serial) + QLatin1Char(',') + quoted(m_instrument.dbId);
            for (int c = 0; c < row.size(); ++c) {
                sql += QLatin1Char(',');
                appendLiteral(&sql, row.at(c), types.at(c));
            }
            sql += QLatin1Char(')');
            if (sql.size() > statementLimit) {
                sent = exec(sql + tail, error);
                sql.clear();
            }
            return sent;
        });
        if (!read)
            *error = m_source->errorString();
        if (!read || !sent)
            return false;
        if (!sql.isEmpty() && !exec(sql + tail, error))
            return false;
    }
    return true;
}

bool FleetPush::push(int batchSize, const Progress &progress, Counts *counts, QString *error)
{
    *counts = Counts();
    m_failures.clear();
    if (!registerInstrument(error) || !sendPerInstrument(error))
        return false;
    qint64 after = 0;
    int done = 0;
    for (int number = 1;; ++number) {
        // One snapshot of the file for a batch: a result and all its rows.
        XrfResultBatches::Batch batch;
        if (!m_source->beginBatch(after, batchSize, &batch)) {
            m_source->endBatch();
            *error = m_source->errorString();
            return false;
        }
        if (batch.results.isEmpty()) {
            m_source->endBatch();
            break;
        }
        QString why;
        if (!sendResults(batch, 0, batch.results.size(), number, counts, &why)) {
            if (!serverAlive()) {
                m_source->endBatch();
                *error = why;
                return false;
            }
            // One result at a time, to send all the server takes and name
            // what it refuses.
            for (int r = 0; r < batch.results.size(); ++r) {
                if (sendResults(batch, r, 1, number, counts, &why))
                    continue;
                if (!serverAlive()) {
                    m_source->endBatch();
                    *error = why;
                    return false;
                }
                ++counts->failed;
                m_failures << keyText(batch.results.at(r)) + QStringLiteral(": ") + why;
            }
        }
        m_source->endBatch();
        after = batch.lastTestId;
        done += batch.results.size();
        if (progress)
            progress(done, qMax(done, m_total));
    }
    return true;
}

bool FleetPush::dryRun(int batchSize, bool schemaThere, const Progress &progress, Counts *counts,
                       QString *error)
{
    *counts = Counts();
    qint64 after = 0;
    int done = 0;
    const QString serial = quoted(m_instrument.serial);
    for (;;) {
        XrfResultBatches::Batch batch;
        const bool read = m_source->beginBatch(after, batchSize, &batch);
        m_source->endBatch();
        if (!read) {
            *error = m_source->errorString();
            return false;
        }
        if (batch.results.isEmpty())
            break;
        int there = 0;
        if (schemaThere) {
            QStringList keys;
            for (const QVector<QVariant> &row : batch.results)
                keys << QLatin1Char('(') + quoted(row.at(m_dateTimeColumn).toString())
                                + QLatin1Char(',') + quoted(row.at(m_nameColumn).toString())
                                + QLatin1Char(')');
            QSqlQuery q(m_server);
            if (!q.exec(QStringLiteral("SELECT count(*) FROM analysisresult WHERE serial = %1 "
                                       "AND (testdatetime,tidname) IN (VALUES %2)")
                                .arg(serial, keys.join(QLatin1Char(','))))
                || !q.next()) {
                *error = oneLine(q.lastError());
                return false;
            }
            there = q.value(0).toInt();
        }
        counts->there += there;
        counts->sent += batch.results.size() - there;
        after = batch.lastTestId;
        done += batch.results.size();
        if (progress)
            progress(done, qMax(done, m_total));
    }
    return true;
}
