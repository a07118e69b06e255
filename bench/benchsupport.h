#ifndef BENCHSUPPORT_H
#define BENCHSUPPORT_H

// What the benchmarks share: their input (results of realistic variety made
// by `xrfresults generate` and read back as the model holds them), storing
// them through the facade with its rate, one printed row per rate, a full
// card made in SQL from one stored result, and the raw SQLite baselines
// (RawBaseline): every benchmark takes them from this one code path, so
// that two benchmarks of the same thing compare against the same reader
// and writer.

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QList>
#include <QProcess>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QString>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <numeric>

#include "resultdeleter.h"
#include "resultmanager.h"
#include "resultschema.h"
#include "xrfkorviresult.h"
#include "xrfservices.h"

// Generates COUNT result files into `folder` with the program and returns
// them read; empty when the program fails.
inline QList<XrfKorviResult> generatedResults(const QString &xrfresults, int count,
                                              const QString &folder)
{
    QList<XrfKorviResult> results;
    if (QProcess::execute(xrfresults, { "generate", QString::number(count), folder }) != 0)
        return results;
    for (const QString &name : QDir(folder).entryList({ "*.json" }, QDir::Files, QDir::Name)) {
        QFile f(folder + '/' + name);
        if (!f.open(QIODevice::ReadOnly))
            continue;
        XrfKorviResult r;
        r.fromJsonObject(QJsonDocument::fromJson(f.readAll()).object());
        results << r;
    }
    return results;
}

// The arguments "XRFRESULTS COUNT" read into results in `folder`, with the
// services configured and the library's log silenced; false (after a usage
// line) when they cannot be.
inline bool benchInput(const QStringList &args, const QString &folder,
                       QList<XrfKorviResult> *results)
{
    if (args.size() != 3) {
        QTextStream(stderr) << "usage: " << QFileInfo(args.value(0)).fileName()
                            << " XRFRESULTS COUNT\n";
        return false;
    }
    *results = generatedResults(args.at(1), args.at(2).toInt(), folder);
    XrfServices::loadConfiguration(XRF_SOURCE_DIR "/config");
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    return !results->isEmpty();
}

// A benchmark's main(): the application, a scratch folder and the results
// of "XRFRESULTS COUNT" (made under <dir>/input), handed to `body`, whose
// value is the exit code.
template<class Body>
int runBench(int argc, char *argv[], Body body)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTemporaryDir dir;
    QList<XrfKorviResult> results;
    if (!benchInput(app.arguments(), dir.filePath("input"), &results))
        return 1;
    return body(out, dir, results);
}

// Results per second of handing the results to the facade as it stands
// (paths set) until each is committed or refused.
inline double facadeInsertRate(const QList<XrfKorviResult> &results)
{
    XrfResultManager *rm = XrfResultManager::instance();
    QSignalSpy committed(rm, &XrfResultManager::resultCommitted);
    QSignalSpy inserted(rm, &XrfResultManager::resultInserted);
    const auto refused = [&] {
        int n = 0;
        for (const QList<QVariant> &call : qAsConst(inserted))
            n += call.value(0).value<XrfErrorInfo::XrfError>() != XrfErrorInfo::NoError;
        return n;
    };
    QElapsedTimer clock;
    clock.start();
    for (const XrfKorviResult &r : results)
        rm->addTestResult(r);
    // A result the library refuses is answered, not committed.
    while (committed.count() + refused() < results.size())
        committed.wait(1000);
    const double rate = results.size() * 1e9 / qMax<qint64>(1, clock.nsecsElapsed());
    if (refused() > 0)
        QTextStream(stderr) << "bench: " << refused() << " of " << results.size()
                            << " results were refused by the library\n";
    return rate;
}

// Stores the results through the facade on a fresh data folder, back to
// back, and returns results per second until the last commit. With `keep`
// the facade stays up for reading.
inline double storeThroughFacade(const QList<XrfKorviResult> &results, const QString &dataDir,
                                 bool keep = false)
{
    XrfResultManager *rm = XrfResultManager::instance();
    rm->init();
    rm->setPaths(dataDir + QStringLiteral("/profile/"), dataDir);
    const double rate = facadeInsertRate(results);
    if (!keep)
        rm->Deinit();
    return rate;
}

// "what   rate results/s   ratio" with the ratio to a baseline (none for 0).
inline QString rateRow(const QString &what, double rate, double baseline)
{
    return QStringLiteral("%1 %2 results/s   %3\n")
            .arg(what, -44)
            .arg(rate, 8, 'f', 1)
            .arg(baseline > 0 ? QStringLiteral("%1x").arg(rate / baseline, 0, 'f', 2) : QString());
}

// A private connection to the file for `use`, gone when it returns.
template<class Use>
void withFile(const QString &file, Use use)
{
    static int connections = 0;
    const QString name = QStringLiteral("bench-%1").arg(connections++);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(file);
        db.open();
        use(db);
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

// Test 1 copied to tests 2..count in SQL, every 15 minutes from
// 2026-01-01 06:15 on, each with picture files of its own.
inline void replicate(QSqlDatabase &db, int count, const QString &imageDir)
{
    db.transaction();
    const QString when = QStringLiteral(
            "strftime('%Y-%m-%d %H:%M:%f', '2026-01-01 06:00:00', '+' || (x * 900) || ' seconds')");
    for (const QString &table :
         ResultDeleter::perTestTables() + QStringList { QStringLiteral("averagedresultinfo") }) {
        QStringList columns;
        QStringList values;
        const QSqlRecord record = db.record(table);
        for (int i = 0; i < record.count(); ++i) {
            const QString c = record.fieldName(i);
            if (c == "id" && table != "analysisresult")
                continue; // a new row id
            columns << c;
            if (c == "testId")
                values << "x";
            else if (c == "testDateTime")
                values << when;
            else if (c == "fileName")
                values << "substr(" + when + ",1,10) || '/img-' || x || '-' || t.id || '.jpeg'";
            else
                values << "t." + c;
        }
        QSqlQuery(db).exec(QStringLiteral("WITH RECURSIVE n(x) AS (SELECT 2 UNION ALL SELECT x + 1 "
                                          "FROM n WHERE x < %1) INSERT INTO %2 (%3) SELECT %4 "
                                          "FROM n, %2 t WHERE t.testId = 1")
                                   .arg(count)
                                   .arg(table, columns.join(','), values.join(',')));
    }
    db.commit();
    QSqlQuery names(db);
    names.exec("SELECT fileName FROM imageresult WHERE testId > 1");
    while (names.next()) {
        QFile f(imageDir + names.value(0).toString());
        QDir().mkpath(QFileInfo(f).absolutePath());
        f.open(QIODevice::WriteOnly);
        f.write(QByteArray(2048, 'j'));
    }
}

// Results per second of reading the ids through the facade.
inline double facadeReadRate(const QList<int> &ids)
{
    QElapsedTimer clock;
    clock.start();
    for (int id : ids) {
        XrfKorviResult r;
        XrfResultManager::instance()->syncGetFullResult(id, &r);
    }
    return ids.size() * 1e9 / qMax<qint64>(1, clock.nsecsElapsed());
}

// Test ids 1..count, `passes` times over: a read round of a few hundred
// results lasts tens of milliseconds, shorter than the noise of a shared
// machine.
inline QList<int> idsInPasses(int count, int passes = 1)
{
    QList<int> ids;
    for (int pass = 0; pass < passes; ++pass)
        for (int id = 1; id <= count; ++id)
            ids << id;
    return ids;
}

// --- Raw SQLite baselines ------------------------------------------------------

namespace RawBaseline {

using Rows = QVector<QPair<QString, QVector<QVariantList>>>; // per table, its rows
using Columns = QHash<QString, QStringList>; // per table, the stored file's columns

// The tables that hold rows of one test, with their columns in `db`.
inline Columns columnsOf(QSqlDatabase &db)
{
    Columns columns;
    for (const ResultSchema::Table &t : ResultSchema::tables()) {
        if (!t.hasColumn("testId"))
            continue;
        const QSqlRecord record = db.record(t.name);
        for (int i = 0; i < record.count(); ++i)
            columns[t.name] << record.fieldName(i);
    }
    return columns;
}

// A bare reader of whole results: one SELECT of every column per table,
// prepared once, each run in its own autocommit transaction, every value
// taken out; plus the filter row a spectrum names, as the library reads it.
class Reader
{
public:
    explicit Reader(QSqlDatabase &db) : m_columns(columnsOf(db))
    {
        for (auto it = m_columns.cbegin(); it != m_columns.cend(); ++it) {
            QSqlQuery q(db);
            q.setForwardOnly(true);
            q.prepare("SELECT " + it.value().join(',') + " FROM " + it.key() + " WHERE testId = ?");
            m_tables << it.key();
            m_statements << q;
        }
        m_filter = QSqlQuery(db);
        m_filter.setForwardOnly(true);
        m_filter.prepare(QStringLiteral("SELECT * FROM filterprops WHERE id = ?"));
    }
    // The rows of test `id`, per table in the order of columns().
    Rows read(int id)
    {
        Rows rows;
        for (int s = 0; s < m_statements.size(); ++s) {
            QSqlQuery &q = m_statements[s];
            const int width = m_columns.value(m_tables.at(s)).size();
            q.addBindValue(id);
            q.exec();
            QVector<QVariantList> tableRows;
            while (q.next()) {
                QVariantList values;
                for (int c = 0; c < width; ++c)
                    values << q.value(c);
                tableRows << values;
            }
            q.finish();
            rows.append({ m_tables.at(s), tableRows });
        }
        m_filter.addBindValue(1);
        m_filter.exec();
        m_filter.next();
        m_filter.finish();
        return rows;
    }
    const Columns &columns() const { return m_columns; }

private:
    Columns m_columns;
    QStringList m_tables;
    QList<QSqlQuery> m_statements;
    QSqlQuery m_filter;
};

// Results per second of the bare reader over `ids` of `file`; with
// `oneTransaction` each result's SELECTs share one read transaction.
inline double readRate(const QString &file, const QList<int> &ids, bool oneTransaction = false)
{
    double rate = 0;
    withFile(file, [&](QSqlDatabase &db) {
        Reader reader(db);
        QElapsedTimer clock;
        clock.start();
        for (int id : ids) {
            if (oneTransaction)
                db.transaction();
            reader.read(id);
            if (oneTransaction)
                db.commit();
        }
        rate = ids.size() * 1e9 / qMax<qint64>(1, clock.nsecsElapsed());
    });
    return rate;
}

// Every row of the tests `ids` of `file`, as the bare reader reads them.
inline QVector<Rows> rowsOf(const QString &file, const QList<int> &ids, Columns *columns)
{
    QVector<Rows> results;
    withFile(file, [&](QSqlDatabase &db) {
        Reader reader(db);
        *columns = reader.columns();
        for (int id : ids)
            results << reader.read(id);
    });
    return results;
}

enum class Journal { WalFull, RollbackExtra };

inline const char *journalName(Journal journal)
{
    return journal == Journal::WalFull ? "WAL, FULL" : "rollback journal, EXTRA";
}

// Results per second of writing the rows into a new file of the same schema
// and indices, statements prepared once, one transaction per result, at the
// level where a commit survives a power cut in that journal mode.
inline double insertRate(const QString &file, const QVector<Rows> &results, const Columns &columns,
                         Journal journal)
{
    double rate = 0;
    withFile(file, [&](QSqlDatabase &db) {
        QSqlQuery(db).exec(journal == Journal::WalFull ? "PRAGMA journal_mode=WAL"
                                                       : "PRAGMA journal_mode=DELETE");
        QSqlQuery(db).exec(journal == Journal::WalFull ? "PRAGMA synchronous=FULL"
                                                       : "PRAGMA synchronous=EXTRA");
        for (const QString &statement :
             (ResultSchema::creationScript() + ';' + ResultSchema::indexScript()).split(';'))
            QSqlQuery(db).exec(statement);
        QHash<QString, QSqlQuery> inserts;
        for (auto it = columns.cbegin(); it != columns.cend(); ++it) {
            QSqlQuery q(db);
            q.prepare("INSERT INTO " + it.key() + " (" + it.value().join(',') + ") VALUES ("
                      + QStringList(QVector<QString>(it.value().size(), "?").toList()).join(',')
                      + ")");
            inserts.insert(it.key(), q);
        }
        QElapsedTimer clock;
        clock.start();
        for (const Rows &result : results) {
            db.transaction();
            for (const auto &table : result) {
                QSqlQuery &q = inserts[table.first];
                for (const QVariantList &row : table.second) {
                    for (int i = 0; i < row.size(); ++i)
                        q.bindValue(i, row.at(i));
                    q.exec();
                }
            }
            db.commit();
        }
        rate = results.size() * 1e9 / qMax<qint64>(1, clock.nsecsElapsed());
    });
    return rate;
}

} // namespace RawBaseline

// --- Rounds -----------------------------------------------------------------------

// A row measured in rounds, library (a) and baseline (b) side by side in
// each round (a b a b …): the median round's ratio, the range, and whether
// every round met a target.
struct Rounds
{
    QVector<double> a, b;

    void add(double library, double baseline)
    {
        a << library;
        b << baseline;
    }
    double ratio(int i) const { return a[i] / b[i]; }
    int median() const
    {
        QVector<int> order(a.size());
        std::iota(order.begin(), order.end(), 0);
        std::sort(order.begin(), order.end(), [&](int x, int y) { return ratio(x) < ratio(y); });
        return order.at(order.size() / 2);
    }
    double lowest() const
    {
        double low = ratio(0);
        for (int i = 1; i < a.size(); ++i)
            low = qMin(low, ratio(i));
        return low;
    }
    double highest() const
    {
        double high = ratio(0);
        for (int i = 1; i < a.size(); ++i)
            high = qMax(high, ratio(i));
        return high;
    }
    QString range() const
    {
        return QStringLiteral("rounds %1–%2").arg(lowest(), 0, 'f', 2).arg(highest(), 0, 'f', 2);
    }
};

#endif // BENCHSUPPORT_H
