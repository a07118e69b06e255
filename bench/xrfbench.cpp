// The library against raw SQLite, one table, every row measured side by side
// in this run, on this disk, with the same generated results:
//
// 1. insertion through the facade (until resultCommitted) against a raw
//    writer of the same rows: every row the library stored, read back and
//    written again with prepared statements, one transaction per result,
//    into a second file of the same schema with the same synchronous level;
// 2. the full read (syncGetFullResult) against the raw SELECTs of the same
//    rows, one statement per table in autocommit;
// 3. `xrfresults store`, through the durable queue, against (1);
//    (1) to (3) run in three rounds, printed as the median round and the range;
// 4. per-result insertion and read at 1,000, 10,000 and 50,000 stored
//    results (the card filled in SQL), as ratios to 1,000;
// 5. the browse, export and exchange benchmarks, each run as it is.
//
//     xrfbench XRFRESULTS COUNT      (300 will do; the 50,000 card takes a while)

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <numeric>

#include "benchsupport.h"
#include "resultmanager.h"
#include "resultschema.h"

namespace {

QString databaseOf(const QString &card)
{
    return QDir(card + "/db").entryInfoList({ "*.sqlite" }).value(0).filePath();
}

using Rows = QVector<QPair<QString, QVector<QVariantList>>>; // per table, its rows

// Every row of test `id` in every table that holds rows of one test, with
// the column names of the stored file.
Rows rowsOf(QSqlDatabase &db, int id, QHash<QString, QStringList> *columns)
{
    Rows rows;
    for (const ResultSchema::Table &t : ResultSchema::tables()) {
        if (!t.hasColumn("testId"))
            continue;
        QStringList &names = (*columns)[t.name];
        if (names.isEmpty()) {
            const QSqlRecord record = db.record(t.name);
            for (int i = 0; i < record.count(); ++i)
                names << record.fieldName(i);
        }
        QSqlQuery q(db);
        q.prepare("SELECT " + names.join(',') + " FROM " + t.name + " WHERE testId = ?");
        q.addBindValue(id);
        q.exec();
        QVector<QVariantList> tableRows;
        while (q.next()) {
            QVariantList values;
            for (int i = 0; i < names.size(); ++i)
                values << q.value(i);
            tableRows << values;
        }
        rows.append({ t.name, tableRows });
    }
    return rows;
}

// Results per second of writing the rows, one transaction per result.
double rawInsertRate(const QString &file, const QVector<Rows> &results,
                     const QHash<QString, QStringList> &columns)
{
    double rate = 0;
    withFile(file, [&](QSqlDatabase &db) {
        // The same schema: its indices cost the library on every insertion too.
        for (const QString &statement :
             (ResultSchema::creationScript() + ';' + ResultSchema::indexScript()).split(';'))
            QSqlQuery(db).exec(statement);
        QSqlQuery(db).exec("PRAGMA synchronous=EXTRA");
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
        rate = results.size() * 1000.0 / qMax<qint64>(1, clock.elapsed());
    });
    return rate;
}

// Results per second of reading the ids through the facade.
double facadeReadRate(const QList<int> &ids)
{
    QElapsedTimer clock;
    clock.start();
    for (int id : ids) {
        XrfKorviResult r;
        XrfResultManager::instance()->syncGetFullResult(id, &r);
    }
    return ids.size() * 1000.0 / qMax<qint64>(1, clock.elapsed());
}

struct Costs
{
    double insertMs, readMs, lookupMs, indexedLookupMs;
};

// Milliseconds per lookup of the query that keeps insertion exactly-once,
// for keys that are not stored (the worst case: nothing stops the search).
double lookupMs(QSqlDatabase &db)
{
    QSqlQuery q(db);
    q.prepare("SELECT testId FROM analysisresult WHERE testDateTime = ? AND tidName = ? "
              "ORDER BY testId LIMIT 1");
    QElapsedTimer clock;
    clock.start();
    const int runs = 200;
    for (int i = 0; i < runs; ++i) {
        q.addBindValue(QStringLiteral("2030-01-01 00:00:00.%1").arg(i % 1000, 3, 10, QChar('0')));
        q.addBindValue(QStringLiteral("missing"));
        q.exec();
        q.next();
    }
    return clock.nsecsElapsed() / 1e6 / runs;
}

// Per-result insertion and read on a card of `stored` results, and the
// exactly-once lookup there without and with an index on its two columns.
Costs costsAt(int stored, const QList<XrfKorviResult> &results, const QString &card)
{
    storeThroughFacade(results.mid(0, 1), card);
    withFile(databaseOf(card), [&](QSqlDatabase &db) { replicate(db, stored, card + "/images/"); });
    const QList<XrfKorviResult> fresh = results.mid(1, 100);
    const double insert = storeThroughFacade(fresh, card, true);
    QList<int> ids;
    for (int i = 0; i < fresh.size(); ++i)
        ids << stored + 1 + i;
    const double read = facadeReadRate(ids);
    XrfResultManager::instance()->Deinit();
    Costs costs { 1000.0 / insert, 1000.0 / read, 0, 0 };
    withFile(databaseOf(card), [&](QSqlDatabase &db) {
        costs.lookupMs = lookupMs(db);
        QSqlQuery(db).exec("CREATE INDEX bench_lookup ON analysisresult (testDateTime, tidName)");
        costs.indexedLookupMs = lookupMs(db);
    });
    return costs;
}

// Results per second of `xrfresults store` of the folder into a new data folder.
double storeThroughProgram(const QString &xrfresults, const QString &dataDir, const QString &input,
                           int count)
{
    QElapsedTimer clock;
    clock.start();
    QProcess store;
    store.setStandardOutputFile(QProcess::nullDevice());
    store.start(xrfresults, { "--data", dataDir, "store", "--wait", "600", input });
    store.waitForFinished(-1);
    return count * 1000.0 / qMax<qint64>(1, clock.elapsed());
}

// The round whose ratio a/b is the median.
int medianRound(const QVector<double> &a, const QVector<double> &b)
{
    QVector<int> order(a.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](int x, int y) { return a[x] / b[x] < a[y] / b[y]; });
    return order.at(order.size() / 2);
}

QString rangeOf(const QVector<double> &a, const QVector<double> &b)
{
    double low = a[0] / b[0], high = low;
    for (int i = 1; i < a.size(); ++i) {
        low = qMin(low, a[i] / b[i]);
        high = qMax(high, a[i] / b[i]);
    }
    return QStringLiteral(" (rounds %1–%2)").arg(low, 0, 'f', 2).arg(high, 0, 'f', 2);
}

QString row(const QString &what, const QString &value, const QString &baseline,
            const QString &ratio)
{
    return QStringLiteral("| %1 | %2 | %3 | %4 |\n").arg(what, value, baseline, ratio);
}

QString perSecond(double rate)
{
    return QStringLiteral("%1/s").arg(rate, 0, 'f', 1);
}

QString times(double ratio)
{
    return QStringLiteral("%1×").arg(ratio, 0, 'f', 2);
}

} // namespace

int main(int argc, char *argv[])
{
    return runBench(
            argc, argv, [&](QTextStream &out, QTemporaryDir &dir, QList<XrfKorviResult> &results) {
                const QString xrfresults = QCoreApplication::arguments().at(1);
                const int count = results.size();
                out << "| row | library | baseline | ratio |\n|---|---|---|---|\n";

                // 1, 2 and 3. The cost of a sync on a shared disk drifts within
                // minutes, so the insertions run in rounds, each beside its
                // baselines; the median round is printed with the range.
                const int rounds = 3;
                QVector<double> library, raw, queued;
                QHash<QString, QStringList> columns;
                QList<int> ids;
                double read = 0;
                QString card;
                for (int round = 0; round < rounds; ++round) {
                    card = dir.filePath(QStringLiteral("library%1").arg(round));
                    library << storeThroughFacade(results, card, true);
                    QVector<Rows> rows;
                    ids.clear();
                    withFile(databaseOf(card), [&](QSqlDatabase &db) {
                        for (int id = 1; id <= count; ++id) {
                            rows << rowsOf(db, id, &columns);
                            ids << id;
                        }
                    });
                    if (round == 0)
                        read = facadeReadRate(ids);
                    XrfResultManager::instance()->Deinit();
                    raw << rawInsertRate(dir.filePath(QStringLiteral("raw%1.sqlite").arg(round)),
                                         rows, columns);
                    queued << storeThroughProgram(
                            xrfresults, dir.filePath(QStringLiteral("queued%1").arg(round)),
                            dir.filePath("input"), count);
                }
                const int median = medianRound(library, raw);
                out << row(QStringLiteral("1. insertion, %1 results").arg(count),
                           perSecond(library[median]),
                           QStringLiteral("raw prepared, EXTRA: ") + perSecond(raw[median]),
                           times(library[median] / raw[median]) + rangeOf(library, raw)
                                   + " (target ≥ 0.9×)");
                out.flush();

                double bareRead = 0;
                withFile(databaseOf(card), [&](QSqlDatabase &db) {
                    QHash<QString, QStringList> names = columns;
                    QElapsedTimer clock;
                    clock.start();
                    for (int id : ids)
                        rowsOf(db, id, &names);
                    bareRead = ids.size() * 1000.0 / qMax<qint64>(1, clock.elapsed());
                });
                out << row("2. full read", perSecond(read),
                           QStringLiteral("raw SELECTs, autocommit: ") + perSecond(bareRead),
                           times(read / bareRead) + " (target ≥ 2×)");
                out.flush();

                const int medianQueued = medianRound(queued, library);
                out << row("3. xrfresults store (queue)", perSecond(queued[medianQueued]),
                           QStringLiteral("row 1: ") + perSecond(library[medianQueued]),
                           times(queued[medianQueued] / library[medianQueued])
                                   + rangeOf(queued, library) + " (target ≥ 0.6×)");
                out.flush();

                // 4.
                QList<Costs> costs;
                for (int stored : { 1000, 10000, 50000 })
                    costs << costsAt(stored, results,
                                     dir.filePath(QStringLiteral("card%1").arg(stored)));
                const auto scaled = [&](const char *what, double Costs::*field) {
                    const auto ms
                            = [](double v) { return QStringLiteral("%1 ms").arg(v, 0, 'f', 3); };
                    return row(QStringLiteral("4. %1 at 1k / 10k / 50k").arg(what),
                               ms(costs[0].*field) + " / " + ms(costs[1].*field) + " / "
                                       + ms(costs[2].*field),
                               "1k",
                               times(costs[1].*field / costs[0].*field) + " / "
                                       + times(costs[2].*field / costs[0].*field)
                                       + " (target ≤ 1.1)");
                };
                out << scaled("insertion per result", &Costs::insertMs)
                    << scaled("read per result", &Costs::readMs)
                    << scaled("exactly-once lookup", &Costs::lookupMs)
                    << scaled("the lookup with an index (testDateTime, tidName)",
                              &Costs::indexedLookupMs);
                out.flush();

                // 5.
                const QString binDir = QCoreApplication::applicationDirPath();
                for (const char *bench :
                     { "browsebench", "exportbench", "minidbbench", "streambench" }) {
                    out << "\n" << bench << ":\n";
                    out.flush();
                    QProcess child;
                    child.setProcessChannelMode(QProcess::ForwardedOutputChannel);
                    // Browsing is measured on its own card of 10,000.
                    QStringList benchArgs { xrfresults };
                    if (qstrcmp(bench, "browsebench") != 0)
                        benchArgs << QString::number(qMax(count, 1000));
                    child.start(binDir + '/' + bench, benchArgs);
                    child.waitForFinished(-1);
                }
                return 0;
            });
}
