// What the mini database costs, measured side by side in one run:
//
// (a) importing a mini database of COUNT generated results (stored through
//     the library on another card, the file used as it is) into a card that
//     holds the samples, through the facade, against the sqlite3 tool
//     attaching the same file and copying the same rows with INSERT ...
//     SELECT (test ids shifted, one transaction, synchronous=EXTRA as the
//     library commits) into a copy of the same card; best of three each;
//     then the same into a card of 10,000 results, where the library's
//     lookup of stored twins has the most to look through;
// (b) sync-out of cards holding 1,000 and 10,000 results (one stored, the
//     rest copies made in SQL): as a mini database (500 are captured) and
//     as a JSON object stream of every result; the time of the facade's
//     call and the peak resident memory of a process that only opens the
//     card and makes the file.
//
//     minidbbench XRFRESULTS [COUNT]      (default 1000)

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextStream>

#include "benchsupport.h"
#include "resultmanager.h"
#include "resultschema.h"
#include "xrfservices.h"

namespace {

QString databaseOf(const QString &card)
{
    return QDir(card + "/db").entryInfoList({ "*.sqlite" }).value(0).filePath();
}

qint64 peakResidentKb()
{
    QFile status("/proc/self/status");
    status.open(QIODevice::ReadOnly);
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

// The child of (b): opens the card, makes the file, prints
// "captured found msecs peakKb peakKbBefore code".
int syncOutChild(const QString &card, const QString &out, bool stream)
{
    XrfServices::loadConfiguration(XRF_SOURCE_DIR "/config");
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    XrfResultManager *rm = XrfResultManager::instance();
    rm->init();
    rm->setPaths(card + "/profile/", card);
    int captured = 0, found = 0;
    QString status;
    const qint64 before = peakResidentKb();
    QElapsedTimer clock;
    clock.start();
    const int code = stream
            ? rm->getAllResultsFromTestDateTime(QString(), QString(), QString(), out, &captured,
                                                &found, &status, 1000000)
            : rm->getResultsInASqlDbFromTestDateTime(QString(), out, &captured, &found, &status);
    const qint64 ms = clock.elapsed();
    rm->Deinit();
    QTextStream(stdout) << captured << ' ' << found << ' ' << ms << ' ' << peakResidentKb() << ' '
                        << before << ' ' << code << '\n';
    return 0;
}

// The bare copy: every result table's rows with the test ids shifted.
QString bareScript(const QString &mini, int offset)
{
    QStringList lines { "PRAGMA synchronous=EXTRA;",
                        "ATTACH DATABASE '" + QString(mini).replace('\'', "''") + "' AS syncDb;",
                        "BEGIN;" };
    for (const ResultSchema::Table &t : ResultSchema::tables()) {
        if (t.name == XrfTables::devInfo || t.name == XrfTables::filterProps)
            continue;
        QStringList columns, values;
        for (const ResultSchema::Column &c : t.columns) {
            const QString name = c.name;
            if (name == "id")
                continue;
            columns << name;
            values << (name == "testId" || name == "averagedTestId"
                               ? QStringLiteral("%1 + %2").arg(name).arg(offset)
                               : name);
        }
        lines << QStringLiteral("INSERT INTO main.%1 (%2) SELECT %3 FROM syncDb.%1;")
                         .arg(t.name, columns.join(','), values.join(','));
    }
    lines << "COMMIT;";
    return lines.join('\n');
}

double bareImportMs(const QString &receiver, const QString &mini, int offset)
{
    QProcess sqlite;
    QElapsedTimer clock;
    clock.start();
    sqlite.start("sqlite3", { receiver });
    sqlite.write(bareScript(mini, offset).toUtf8());
    sqlite.closeWriteChannel();
    sqlite.waitForFinished(-1);
    const double ms = clock.nsecsElapsed() / 1e6;
    if (sqlite.exitCode() != 0 || !sqlite.readAllStandardError().isEmpty())
        QTextStream(stderr) << "minidbbench: the bare copy failed\n";
    return ms;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.value(1) == "--sync-out-child")
        return syncOutChild(args.value(2), args.value(3), args.value(4) == "stream");
    if (args.size() < 2) {
        QTextStream(stderr) << "usage: minidbbench XRFRESULTS [COUNT]\n";
        return 1;
    }
    const int count = args.value(2, "1000").toInt();
    QTemporaryDir dir;
    QList<XrfKorviResult> results;
    if (!benchInput({ args.at(0), args.at(1), QString::number(count) }, dir.filePath("in"),
                    &results))
        return 1;
    QTextStream out(stdout);

    // (a) The mini database: a card of generated results, as it is.
    storeThroughFacade(results, dir.filePath("source"));
    const QString mini = dir.filePath("mini.sqlite");
    QFile::copy(databaseOf(dir.filePath("source")), mini);
    QList<XrfKorviResult> samples;
    for (const QFileInfo &file :
         QDir(XRF_SOURCE_DIR "/samples").entryInfoList({ "*.json" }, QDir::Files, QDir::Name)) {
        QFile f(file.filePath());
        f.open(QIODevice::ReadOnly);
        XrfKorviResult r;
        r.fromJsonObject(QJsonDocument::fromJson(f.readAll()).object());
        // Their pictures are named relative to the folder the host reads
        // them from; a result whose pictures are missing is refused.
        r.images().clear();
        samples << r;
    }
    storeThroughFacade(samples, dir.filePath("receiver"));

    // Each round on a fresh copy of the receiving card, for both sides.
    auto importInto = [&](const QString &receiver, const QString &what) {
        const QString receiverDb = databaseOf(receiver);
        const QString pristine = dir.filePath("pristine.sqlite");
        QFile::remove(pristine);
        QFile::copy(receiverDb, pristine);
        int offset = 0;
        withFile(pristine, [&](QSqlDatabase &db) {
            QSqlQuery q(db);
            q.exec("SELECT max(testId) FROM analysisresult");
            offset = q.next() ? q.value(0).toInt() : 0;
        });
        XrfResultManager *rm = XrfResultManager::instance();
        rm->init();
        double library = 1e12, bare = 1e12;
        int stored = 0;
        for (int round = 0; round < 3; ++round) {
            QFile::remove(receiverDb);
            QFile::copy(pristine, receiverDb);
            rm->setPaths(receiver + "/profile/", receiver);
            QSignalSpy imported(rm, &XrfResultManager::resultsImported);
            QElapsedTimer clock;
            clock.start();
            rm->importResultsFromSqlDb(mini);
            library = qMin(library, clock.nsecsElapsed() / 1e6);
            stored = imported.value(0).value(0).toInt();
            rm->setInstrumentDataPath(QString(), QString());

            const QString copy = dir.filePath(QStringLiteral("bare-%1.sqlite").arg(round));
            QFile::remove(copy);
            QFile::copy(pristine, copy);
            bare = qMin(bare, bareImportMs(copy, mini, offset));
        }
        rm->Deinit();
        out << QStringLiteral("import of %1 into %2 (%3 stored)")
                        .arg(count)
                        .arg(what)
                        .arg(stored)
                        .leftJustified(58)
            << QStringLiteral("%1 ms   bare sqlite3 %2 ms   %3x\n")
                        .arg(library, 8, 'f', 1)
                        .arg(bare, 8, 'f', 1)
                        .arg(library / bare, 0, 'f', 2);
    };
    importInto(dir.filePath("receiver"), QStringLiteral("the samples"));

    // (b) sync-out of full cards, each in a process of its own.
    for (int stored : { 1000, 10000 }) {
        const QString card = dir.filePath(QStringLiteral("card%1").arg(stored));
        storeThroughFacade(results.mid(0, 1), card);
        withFile(databaseOf(card),
                 [&](QSqlDatabase &db) { replicate(db, stored, card + "/images/"); });
        for (const QString form : { "mini database", "stream" }) {
            QProcess child;
            child.start(args.at(0),
                        { "--sync-out-child", card,
                          dir.filePath(QStringLiteral("out%1-%2").arg(stored).arg(form.size())),
                          form == "stream" ? "stream" : "sqlite" });
            child.waitForFinished(-1);
            const QStringList figures = QString::fromUtf8(child.readAllStandardOutput()).split(' ');
            out << QStringLiteral("sync-out of %1 stored, %2 (%3 captured)")
                            .arg(stored)
                            .arg(form)
                            .arg(figures.value(0))
                            .leftJustified(58)
                << QStringLiteral("%1 ms   peak RSS %2 MB (%3 MB before the call)\n")
                            .arg(figures.value(2).toDouble(), 8, 'f', 1)
                            .arg(figures.value(3).toDouble() / 1024, 0, 'f', 1)
                            .arg(figures.value(4).toDouble() / 1024, 0, 'f', 1);
        }
    }
    // The stored twins are looked up on a full card too.
    importInto(dir.filePath("card10000"), QStringLiteral("10,000 stored"));
    return 0;
}
