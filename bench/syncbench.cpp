// What a durable commit costs, measured side by side in one run on one disk:
//
// (a) the library's insertion at its durable level (write-ahead log,
//     synchronous FULL: the log is synced at each commit) against the same
//     insertion one level weaker (NORMAL, which a power cut can undo; needs
//     a build with XRF_TEST_HOOKS, which selects it through a test hook);
// (b) raw SQLite transactions of the same shape (one header row, thirty
//     element rows, an 8 KB spectrum) in the rollback journal with FULL and
//     EXTRA (the durable level there), and in WAL with FULL and NORMAL.
//
//     syncbench XRFRESULTS COUNT

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTextStream>

#include "benchsupport.h"
#include "resultmanager.h"
#include "xrfservices.h"

namespace {

double libraryRate(const QList<XrfKorviResult> &results, const QString &dir, bool weaker)
{
    if (weaker)
        qputenv("XRF_FAULT_POINT", "synchronous-weaker");
    const double rate = storeThroughFacade(results, dir);
    qunsetenv("XRF_FAULT_POINT");
    return rate;
}

double rawRate(int count, const QString &file, const char *journal, const char *synchronous)
{
    const QString name = QStringLiteral("raw-") + QFileInfo(file).baseName();
    double rate = 0;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(file);
        db.open();
        QSqlQuery q(db);
        q.exec(QStringLiteral("PRAGMA journal_mode=%1").arg(QLatin1String(journal)));
        q.exec(QStringLiteral("PRAGMA synchronous=%1").arg(QLatin1String(synchronous)));
        q.exec(QStringLiteral("CREATE TABLE a (id INTEGER PRIMARY KEY, t TEXT, n TEXT)"));
        q.exec(QStringLiteral("CREATE TABLE e (a INTEGER, el TEXT, c REAL, er REAL)"));
        q.exec(QStringLiteral("CREATE TABLE s (a INTEGER, data BLOB)"));
        const QByteArray spectrum(8192, '\x11');
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < count; ++i) {
            db.transaction();
            QSqlQuery header(db);
            header.prepare(QStringLiteral("INSERT INTO a (t, n) VALUES (?, ?)"));
            header.addBindValue(QStringLiteral("2026-12-07 10:00:00.%1").arg(i % 1000));
            header.addBindValue(QStringLiteral("name %1").arg(i));
            header.exec();
            const QVariant id = header.lastInsertId();
            QSqlQuery element(db);
            element.prepare(QStringLiteral("INSERT INTO e VALUES (?, ?, ?, ?)"));
            for (int k = 0; k < 30; ++k) {
                element.addBindValue(id);
                element.addBindValue(QStringLiteral("E%1").arg(k));
                element.addBindValue(k * 1.5);
                element.addBindValue(0.01);
                element.exec();
            }
            QSqlQuery blob(db);
            blob.prepare(QStringLiteral("INSERT INTO s VALUES (?, ?)"));
            blob.addBindValue(id);
            blob.addBindValue(spectrum);
            blob.exec();
            db.commit();
        }
        rate = count * 1000.0 / clock.elapsed();
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return rate;
}

} // namespace

int main(int argc, char *argv[])
{
    return runBench(
            argc, argv, [&](QTextStream &out, QTemporaryDir &dir, QList<XrfKorviResult> &results) {
                const int count = results.size();

                // Alternated, so that a disk that warms up favours neither.
                const double weaker = libraryRate(results, dir.filePath("weaker"), true);
                const double durable = libraryRate(results, dir.filePath("durable"), false);
                const double rawFull
                        = rawRate(count, dir.filePath("rawfull.sqlite"), "DELETE", "FULL");
                const double rawExtra
                        = rawRate(count, dir.filePath("rawextra.sqlite"), "DELETE", "EXTRA");
                const double walFull
                        = rawRate(count, dir.filePath("walfull.sqlite"), "WAL", "FULL");
                const double walNormal
                        = rawRate(count, dir.filePath("walnormal.sqlite"), "WAL", "NORMAL");

                out << "results: " << results.size() << " (rates; ratio to the row's baseline)\n"
                    << rateRow("library, WAL, NORMAL (not durable)", weaker, 0)
                    << rateRow("library, WAL, FULL (now)", durable, weaker)
                    << rateRow("raw, rollback journal, FULL", rawFull, 0)
                    << rateRow("raw, rollback journal, EXTRA", rawExtra, rawFull)
                    << rateRow("raw, WAL, FULL", walFull, rawExtra)
                    << rateRow("raw, WAL, NORMAL", walNormal, walFull);
                return 0;
            });
}
