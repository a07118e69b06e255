#ifndef BENCHSUPPORT_H
#define BENCHSUPPORT_H

// What the benchmarks share: their input (results of realistic variety made
// by `xrfresults generate` and read back as the model holds them), storing
// them through the facade with its rate, one printed row per rate, and a
// full card made in SQL from one stored result.

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

#include "resultdeleter.h"
#include "resultmanager.h"
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

// Stores the results through the facade on a fresh data folder, back to
// back, and returns results per second until the last commit. With `keep`
// the facade stays up for reading.
inline double storeThroughFacade(const QList<XrfKorviResult> &results, const QString &dataDir,
                                 bool keep = false)
{
    XrfResultManager *rm = XrfResultManager::instance();
    rm->init();
    rm->setPaths(dataDir + QStringLiteral("/profile/"), dataDir);
    QSignalSpy committed(rm, &XrfResultManager::resultCommitted);
    QElapsedTimer clock;
    clock.start();
    for (const XrfKorviResult &r : results)
        rm->addTestResult(r);
    while (committed.count() < results.size())
        committed.wait(1000);
    const double rate = results.size() * 1000.0 / qMax<qint64>(1, clock.elapsed());
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

#endif // BENCHSUPPORT_H
