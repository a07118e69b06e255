// What browsing and deletion cost on a full card, side by side in one run on
// the same file: the facade's calendar, one day's list and the 50 latest
// tests against the same SELECTs run bare on the file, and deleting 1,000 of
// the stored results (rows and pictures) through the facade against bare
// DELETE statements over the same rows of a copy, in one transaction.
//
//     browsebench XRFRESULTS [COUNT]      (COUNT stored results, default 10000)
//
// One sample result is stored through the library; the rest are copies of
// its rows made in SQL, each with its own time (every 15 minutes) and its own
// picture files.

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QTextStream>

#include "benchsupport.h"
#include "resultdeleter.h"
#include "resultmanager.h"

namespace {

// Every table with rows of a test.
const QStringList perTestTables
        = ResultDeleter::perTestTables() + QStringList { "averagedresultinfo" };

template<class Request>
double facadeMs(int id, int runs, Request request)
{
    XrfResultManager *rm = XrfResultManager::instance();
    QSignalSpy done(rm, &XrfResultManager::operationDone);
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < runs; ++i) {
        request();
        while (done.count() <= i)
            done.wait(1000);
    }
    Q_UNUSED(id);
    return clock.nsecsElapsed() / 1e6 / runs;
}

double bareMs(const QString &file, const QString &statement, int runs)
{
    double ms = 0;
    withFile(file, [&](QSqlDatabase &db) {
        QSqlQuery q(db);
        q.setForwardOnly(true);
        q.prepare(statement);
        QElapsedTimer clock;
        clock.start();
        int rows = 0;
        for (int i = 0; i < runs; ++i) {
            if (!q.exec())
                qFatal("bare statement failed: %s", qPrintable(statement));
            while (q.next()) {
                q.value(0);
                ++rows;
            }
        }
        if (rows == 0)
            qFatal("bare statement found nothing: %s", qPrintable(statement));
        ms = clock.nsecsElapsed() / 1e6 / runs;
    });
    return ms;
}

QString row(const QString &what, double ms, double bare)
{
    return QStringLiteral("%1 %2 ms   bare %3 ms   %4x\n")
            .arg(what, -36)
            .arg(ms, 8, 'f', 2)
            .arg(bare, 8, 'f', 2)
            .arg(ms / bare, 0, 'f', 2);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        QTextStream(stderr) << "usage: browsebench XRFRESULTS [COUNT]\n";
        return 1;
    }
    const int count = args.value(2, "10000").toInt();
    QTemporaryDir dir;
    QList<XrfKorviResult> one;
    if (!benchInput({ args.at(0), args.at(1), "1" }, dir.filePath("in"), &one))
        return 1;
    const QString data = dir.filePath("card");
    storeThroughFacade(one, data, false);
    const QString file = QDir(data + "/db").entryInfoList({ "*.sqlite" }).value(0).filePath();
    withFile(file, [&](QSqlDatabase &db) { replicate(db, count, data + "/images/"); });

    XrfResultManager *rm = XrfResultManager::instance();
    rm->init();
    rm->setPaths(data + "/profile/", data);
    QTextStream out(stdout);
    out << "browsebench: " << count << " stored results\n";
    const int runs = 20;

    const double calendar = facadeMs(1, runs, [&] {
        XrfJsonMessage m(1, 0, {});
        rm->getCalendar(&m);
    });
    out << row("calendar", calendar,
               bareMs(file, "select testDateTime from analysisresult ORDER BY testDateTime ASC",
                      runs));
    const double day = facadeMs(2, runs, [&] {
        rm->getTestIds(XrfJsonMessage(2, 0, { { "date", "2026-02-01" } }));
    });
    out << row("tests of one day", day,
               bareMs(file,
                      "SELECT a.testId,a.tidName FROM analysisresult as a WHERE "
                      "datetime(a.testDateTime) >= '2026-02-01 00:00:00' AND "
                      "datetime(a.testDateTime) < '2026-02-02 00:00:00'",
                      runs));
    const double latest = facadeMs(3, runs, [&] {
        XrfJsonMessage m(3, 0, { { "number", 50 } });
        rm->getLatestTestIds(&m);
    });
    out << row("latest 50", latest,
               bareMs(file,
                      "select distinct testID,tidName,testDateTime from analysisresult order by "
                      "testDateTime DESC limit 50",
                      runs));

    // Deletion: every tenth test, through the facade and bare on a copy.
    QStringList ids;
    for (int i = 0; i < 1000 && (i * 10 + 5) <= count; ++i)
        ids << QString::number(i * 10 + 5);
    const QString copy = dir.filePath("copy.sqlite");
    QFile::copy(file, copy);
    QStringList images;
    withFile(copy, [&](QSqlDatabase &db) {
        QSqlQuery q(db);
        q.exec("SELECT fileName FROM imageresult WHERE testId IN (" + ids.join(',') + ")");
        while (q.next())
            images << q.value(0).toString();
    });
    // The bare run deletes copies of the same pictures.
    const QString copyImages = dir.filePath("copyimages/");
    for (const QString &name : qAsConst(images)) {
        QDir().mkpath(QFileInfo(copyImages + name).absolutePath());
        QFile::copy(data + "/images/" + name, copyImages + name);
    }
    const double deleted = facadeMs(4, 1, [&] {
        rm->deleteTestResults(XrfJsonMessage(4, 0, { { "xrfString", ids.join(',') } }));
    });
    double bare = 0;
    withFile(copy, [&](QSqlDatabase &db) {
        QElapsedTimer clock;
        clock.start();
        QSqlQuery q(db);
        q.exec("SELECT fileName FROM imageresult WHERE testId IN (" + ids.join(',') + ")");
        while (q.next())
            q.value(0);
        db.transaction();
        for (const QString &table : perTestTables)
            QSqlQuery(db).exec("DELETE FROM " + table + " WHERE testId IN (" + ids.join(',') + ")");
        db.commit();
        for (const QString &name : qAsConst(images))
            QFile::remove(copyImages + name);
        bare = clock.nsecsElapsed() / 1e6;
    });
    out << row(QStringLiteral("delete %1 (per result)").arg(ids.size()), deleted / ids.size(),
               bare / ids.size());
    if (qEnvironmentVariableIsSet("BROWSEBENCH_KEEP"))
        QFile::copy(copy, qEnvironmentVariable("BROWSEBENCH_KEEP"));
    rm->Deinit();
    return 0;
}
