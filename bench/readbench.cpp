// How fast whole results come back out of the database, side by side in one
// run on the same rows: (a) the facade's blocking syncGetFullResult, (b) a
// bare reader of the same tables with statements prepared once, each SELECT
// in its own autocommit transaction, and (c) the same bare reader with one
// read transaction per result, and (d) the library's ResultReader alone on one
// thread. Rates and their ratio to (b) are printed.
//
//     readbench XRFRESULTS COUNT

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QTextStream>

#include "benchsupport.h"
#include "resultmanager.h"
#include "resultreader.h"
#include "xrfservices.h"

namespace {

// One statement per table a result touches, keyed by its test id.
const char *const rawStatements[] = {
    "SELECT * FROM analysisresult WHERE testId = ?",
    "SELECT latitude,longitude,elevation FROM location WHERE testId = ?",
    "SELECT auPlating FROM plating WHERE testId = ?",
    "SELECT * FROM spectrum WHERE testId = ?",
    "SELECT type,name FROM resultnames WHERE testId = ?",
    "SELECT elementName,concentration,error FROM elementresult WHERE testId = ?",
    "SELECT * FROM pseudoelementresult WHERE testId = ?",
    "SELECT * FROM userfactorresult WHERE testId = ?",
    "SELECT * FROM coatingresult WHERE testId = ?",
    "SELECT * FROM compoundresult WHERE testId = ?",
    "SELECT * FROM rohsactionlevelresult WHERE testId = ?",
    "SELECT * FROM gradematch WHERE testId = ?",
    "SELECT * FROM gradematchspec WHERE testId = ?",
    "SELECT * FROM imageresult WHERE testId = ?",
    "SELECT label,info FROM testinfo WHERE testId = ?",
    "SELECT * FROM rohsresult WHERE testId = ?",
    "SELECT * FROM calcheckresult WHERE testId = ?",
    "SELECT * FROM repeatinfo WHERE testId = ?",
    "SELECT * FROM regressioninfo WHERE testId = ?",
};

double rawRate(const QString &file, int count, bool oneTransaction)
{
    const QString name = QStringLiteral("raw-reader");
    double rate = 0;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(file);
        db.open();
        QList<QSqlQuery> statements;
        QList<int> widths;
        for (const char *text : rawStatements) {
            QSqlQuery q(db);
            q.setForwardOnly(true);
            q.prepare(QLatin1String(text));
            widths << q.record().count();
            statements << q;
        }
        QSqlQuery filter(db);
        filter.setForwardOnly(true);
        filter.prepare(QStringLiteral("SELECT * FROM filterprops WHERE id = ?"));
        qint64 values = 0;
        QElapsedTimer clock;
        clock.start();
        for (int id = 1; id <= count; ++id) {
            if (oneTransaction)
                db.transaction();
            for (int s = 0; s < statements.size(); ++s) {
                QSqlQuery &q = statements[s];
                q.addBindValue(id);
                q.exec();
                while (q.next()) {
                    for (int c = 0; c < widths.at(s); ++c)
                        values += q.value(c).isValid();
                }
                q.finish();
            }
            filter.addBindValue(1);
            filter.exec();
            filter.next();
            filter.finish();
            if (oneTransaction)
                db.commit();
        }
        rate = count * 1000.0 / clock.elapsed();
        Q_UNUSED(values);
        statements.clear();
        filter = QSqlQuery();
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return rate;
}

double readerRate(const QString &file, int count)
{
    const QString name = QStringLiteral("result-reader");
    double rate = 0;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(file);
        db.open();
        ResultReader reader(db);
        QElapsedTimer clock;
        clock.start();
        for (int id = 1; id <= count; ++id) {
            XrfKorviResult r;
            reader.read(id, &r);
        }
        rate = count * 1000.0 / clock.elapsed();
    }
    QSqlDatabase::removeDatabase(name);
    return rate;
}

} // namespace

int main(int argc, char *argv[])
{
    return runBench(
            argc, argv, [&](QTextStream &out, QTemporaryDir &dir, QList<XrfKorviResult> &results) {
                storeThroughFacade(results, dir.filePath("card"), true);
                XrfResultManager *rm = XrfResultManager::instance();

                // Twice over the same rows, so that the page cache is warm for all.
                double facade = 0;
                for (int pass = 0; pass < 2; ++pass) {
                    QElapsedTimer clock;
                    clock.start();
                    for (int id = 1; id <= results.size(); ++id) {
                        XrfKorviResult r;
                        rm->syncGetFullResult(id, &r);
                    }
                    facade = results.size() * 1000.0 / clock.elapsed();
                }
                rm->Deinit();

                const QString file = QDir(dir.filePath("card/db"))
                                             .entryInfoList({ "*.sqlite" })
                                             .value(0)
                                             .filePath();
                rawRate(file, results.size(), false);
                const double autocommit = rawRate(file, results.size(), false);
                const double transaction = rawRate(file, results.size(), true);
                const double reader = readerRate(file, results.size());

                out << "results: " << results.size()
                    << " (rates; ratio to the bare autocommit reader)\n"
                    << rateRow("bare reader, autocommit SELECTs", autocommit, autocommit)
                    << rateRow("bare reader, one read transaction", transaction, autocommit)
                    << rateRow("library, ResultReader on its own connection", reader, autocommit)
                    << rateRow("library, syncGetFullResult", facade, autocommit);
                return 0;
            });
}
