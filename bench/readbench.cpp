// How fast whole results come back out of the database, side by side in one
// run on the same rows, in three rounds of turns: (a) the facade's blocking
// syncGetFullResult, (b) the bare reader every benchmark shares
// (RawBaseline: statements prepared once, each SELECT in its own autocommit
// transaction), (c) the same bare reader with one read transaction per
// result, and (d) the library's ResultReader alone on its own connection.
// Rates of the median round and the ranges of their ratios to (b).
//
//     readbench XRFRESULTS COUNT

#include <QDir>
#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QTextStream>

#include "benchsupport.h"
#include "resultmanager.h"
#include "resultreader.h"

namespace {

double readerRate(const QString &file, const QList<int> &ids)
{
    double rate = 0;
    withFile(file, [&](QSqlDatabase &db) {
        ResultReader reader(db);
        QElapsedTimer clock;
        clock.start();
        for (int id : ids) {
            XrfKorviResult r;
            reader.read(id, &r);
        }
        rate = ids.size() * 1e9 / qMax<qint64>(1, clock.nsecsElapsed());
    });
    return rate;
}

QString ratioRow(const QString &what, const Rounds &r)
{
    const int m = r.median();
    return QStringLiteral("%1 %2 results/s   %3x (%4)\n")
            .arg(what, -44)
            .arg(r.a[m], 8, 'f', 1)
            .arg(r.ratio(m), 0, 'f', 2)
            .arg(r.range());
}

} // namespace

int main(int argc, char *argv[])
{
    return runBench(
            argc, argv, [&](QTextStream &out, QTemporaryDir &dir, QList<XrfKorviResult> &results) {
                storeThroughFacade(results, dir.filePath("card"), true);
                const QString file = QDir(dir.filePath("card/db"))
                                             .entryInfoList({ "*.sqlite" })
                                             .value(0)
                                             .filePath();
                const QList<int> ids
                        = idsInPasses(results.size(), qMax(1, 3000 / qMax(1, results.size())));
                // A first turn of each, so that the page cache is warm for all.
                facadeReadRate(ids);
                RawBaseline::readRate(file, ids);
                Rounds facade, bare, transaction, reader;
                for (int round = 0; round < 3; ++round) {
                    const double f = facadeReadRate(ids);
                    const double b = RawBaseline::readRate(file, ids);
                    const double t = RawBaseline::readRate(file, ids, true);
                    const double r = readerRate(file, ids);
                    bare.add(b, b);
                    facade.add(f, b);
                    transaction.add(t, b);
                    reader.add(r, b);
                }
                XrfResultManager::instance()->Deinit();
                out << "results: " << results.size()
                    << " (median round; ratio to the bare autocommit reader, with its range)\n"
                    << ratioRow("bare reader, autocommit SELECTs", bare)
                    << ratioRow("bare reader, one read transaction", transaction)
                    << ratioRow("library, ResultReader on its own connection", reader)
                    << ratioRow("library, syncGetFullResult", facade);
                return 0;
            });
}
