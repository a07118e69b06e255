#ifndef FLEETPUSH_H
#define FLEETPUSH_H

// Copies an instrument's stored results into the shared PostgreSQL database
// (fleetschema.h), through Qt's QPSQL driver.
//
// Invariants:
// - Exactly once: a result is sent in the same transaction as all its rows,
//   and its analysisresult row is only added when (serial, testdatetime,
//   tidname) is not there yet, so a second push, a push killed half-way and
//   then run again, or two pushes of the same folder at once store each
//   result once.
// - The instrument's file is only read, through the library's read-only
//   batches (XrfResultBatches); a batch is one read transaction.
// - Memory stays flat: results go in batches of test ids in order, and a
//   table's rows leave in statements of bounded size.
// - No password is taken from the URL; libpq reads PGPASSWORD or ~/.pgpass.

#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>

#include <functional>
#include <memory>

#include "fleetschema.h"
#include "xrfresultbatches.h"

class FleetPush
{
public:
    struct Target
    {
        QString host; // a name, an address or a socket folder
        int port = -1;
        QString user;
        QString database;
        QString options; // further libpq keywords, "k=v;k=v"
        QString shown; // the URL as it may be printed
    };
    // postgresql://[user@][host][:port][/database][?host=DIR&port=N&sslmode=...]
    static bool parseUrl(const QString &url, Target *target, QString *error);

    struct Instrument
    {
        QString serial;
        QString model;
        QString tubeAnode;
        QString dbId;
        QString dbVersion;
        QString zone; // IANA name of the lab's zone
    };

    struct Counts
    {
        int sent = 0;
        int there = 0;
        int failed = 0;
    };

    using Progress = std::function<void(int done, int total)>;

    FleetPush(const Target &target, const QString &databaseFile);
    ~FleetPush();
    FleetPush(const FleetPush &) = delete;
    FleetPush &operator=(const FleetPush &) = delete;

    // The instrument's file, read-only, and its device row.
    bool openSource(QString *error);
    const Instrument &instrument() const { return m_instrument; }
    int storedResults() const { return m_total; }

    // Logs in; the error is one line.
    bool connectServer(QString *error);
    // Whether every table and the view are there.
    bool schemaPresent(bool *present, QString *error);
    // Creates what is missing, in one transaction.
    bool createSchema(QString *error);

    // The instrument's row and its filters, then every result not there yet.
    bool push(int batchSize, const Progress &progress, Counts *counts, QString *error);
    // What push would send, with nothing changed.
    bool dryRun(int batchSize, bool schemaThere, const Progress &progress, Counts *counts,
                QString *error);
    // One line per result that could not be sent.
    QStringList failures() const { return m_failures; }

private:
    using Batch = XrfResultBatches::Batch;
    bool sendResults(const Batch &batch, int first, int count, int batchNumber, Counts *counts,
                     QString *error);
    bool sendRows(const QString &table, const QHash<qint64, qint64> &resultIds, QString *error);
    bool sendPerInstrument(QString *error);
    bool registerInstrument(QString *error);
    bool serverAlive();
    bool exec(const QString &sql, QString *error);
    QString keyText(const QVector<QVariant> &row) const;

    Target m_target;
    QString m_databaseFile;
    QString m_serverName;
    std::unique_ptr<XrfResultBatches> m_source;
    QSqlDatabase m_server;
    Instrument m_instrument;
    int m_total = 0;
    QStringList m_failures;
    QString m_statement;
    int m_testIdColumn = -1;
    int m_dateTimeColumn = -1;
    int m_nameColumn = -1;
};

#endif // FLEETPUSH_H
