// Measures, side by side in one run, how many results per second reach the
// database (a) through the library's own insertion, handed to the facade
// back to back and committed one by one, and (b) through the import of a
// JSON object stream holding the same results (one transaction, a savepoint
// each); then the import and the write of a stream of ten times as many
// results.
//
//     streambench XRFRESULTS COUNT

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTextStream>

#include "benchsupport.h"
#include "resultmanager.h"

namespace {

bool writeStream(const QString &file, const QList<XrfKorviResult> &results)
{
    QFile f(file);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    for (const XrfKorviResult &r : results)
        f.write(QJsonDocument(r.toJsonObject()).toJson(QJsonDocument::Compact));
    return f.flush();
}

// Imports the stream into a fresh data folder; results per second.
double importStream(const QString &file, int count, const QString &dataDir, bool keep = false)
{
    XrfResultManager *rm = XrfResultManager::instance();
    rm->init();
    rm->setPaths(dataDir + QStringLiteral("/profile/"), dataDir);
    QElapsedTimer clock;
    clock.start();
    rm->importResultsFromJsFile(file, count);
    const double rate = count * 1000.0 / qMax<qint64>(1, clock.elapsed());
    if (!keep)
        rm->Deinit();
    return rate;
}

} // namespace

int main(int argc, char *argv[])
{
    return runBench(
            argc, argv, [&](QTextStream &out, QTemporaryDir &dir, QList<XrfKorviResult> &results) {
                const int count = results.size();

                const double library = storeThroughFacade(results, dir.filePath("library"));
                const QString stream = dir.filePath("stream.json");
                if (!writeStream(stream, results))
                    return 2;
                const double imported = importStream(stream, count, dir.filePath("imported"));

                // Ten copies of each, a day apart, for a card of 10 x COUNT results.
                QList<XrfKorviResult> many;
                for (int copy = 0; copy < 10; ++copy) {
                    for (XrfKorviResult r : results) {
                        r.analysis().setTestDateTime(r.analysis().testDateTime().addDays(-copy));
                        many << r;
                    }
                }
                const QString big = dir.filePath("big.json");
                if (!writeStream(big, many))
                    return 2;
                const double importedMany
                        = importStream(big, many.size(), dir.filePath("big"), true);
                int captured = 0;
                int found = 0;
                QString status;
                QElapsedTimer clock;
                clock.start();
                XrfResultManager::instance()->getAllResultsFromTestDateTime(
                        QString(), QString(), QString(), dir.filePath("written.json"), &captured,
                        &found, &status, uint(many.size()));
                const qint64 writeMsecs = clock.elapsed();
                XrfResultManager::instance()->Deinit();

                out << "results                                      " << count << '\n'
                    << rateRow("library insertion (facade, commit each)", library, 0)
                    << rateRow("stream import", imported, library)
                    << rateRow(QStringLiteral("stream import of %1 (empty card)").arg(many.size()),
                               importedMany, library)
                    << QStringLiteral("stream write of %1 results (%2 captured, %3)   %4 ms, %5 "
                                      "results/s\n")
                                .arg(many.size())
                                .arg(captured)
                                .arg(status)
                                .arg(writeMsecs)
                                .arg(captured * 1000.0 / qMax<qint64>(1, writeMsecs), 0, 'f', 1);
                return 0;
            });
}
