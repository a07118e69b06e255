// xrfresults sync-out and import as a person uses them: results carried from
// one data folder to another through a mini database, by the real program.

#include <QDir>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include "testsupport.h"
#include "xrfresultsprocess.h"

using XrfResultsProcess::Run;

class TestExchangeCommands : public QObject
{
    Q_OBJECT

private slots:
    void miniDatabaseCarriesEachResultOnce();
    void picturesTravelWithTheirResults_data();
    void picturesTravelWithTheirResults();
    void refusedOrMissingTargetsAreErrorsNotNothing();
    void undatedResultsAreDatedOnceAndFoundAgain();
    void killedRunsLeaveNothingForGood();

private:
    Run xr(const QString &data, const QStringList &args)
    {
        return XrfResultsProcess::run(QStringList { "--data", m_dir.filePath(data) } + args);
    }
    int stored(const QString &data)
    {
        const QString db = QDir(m_dir.filePath(data + "/db")).entryList({ "*.sqlite" }).value(0);
        return TestSupport::querySqlite(m_dir.filePath(data + "/db/" + db),
                                        "SELECT count(*) FROM analysisresult")
                .value(0, -1)
                .toInt();
    }

    // The stored pictures of a data folder: name -> bytes.
    QMap<QString, QByteArray> pictures(const QString &data)
    {
        const QString db = QDir(m_dir.filePath(data + "/db")).entryList({ "*.sqlite" }).value(0);
        QMap<QString, QByteArray> found;
        for (const QVariant &name : TestSupport::querySqlite(
                     m_dir.filePath(data + "/db/" + db),
                     "SELECT a.tidName || ' ' || i.fileName FROM imageresult i JOIN "
                     "analysisresult a ON a.testId = i.testId"))
            found.insert(name.toString(),
                         TestSupport::readFile(m_dir.filePath(data + "/images/"
                                                              + name.toString().section(' ', -1))));
        return found;
    }

    QTemporaryDir m_dir;
};

void TestExchangeCommands::miniDatabaseCarriesEachResultOnce()
{
    const QString samples = QStringLiteral(XRF_SOURCE_DIR "/samples/");
    const Run store
            = xr("instrument",
                 { "store", samples + "01-stainless-316.json", samples + "03-coating-au-ni-cu.json",
                   samples + "07-copper-awkward-texts.json" });
    QVERIFY2(store.exitCode == 0, qPrintable(store.err));

    const QString mini = m_dir.filePath("usb/mini.sqlite");
    QVERIFY(QDir().mkpath(m_dir.filePath("usb")));
    const Run out = xr("instrument", { "sync-out", "--from", "2026-11-24", "--sqlite", mini });
    QVERIFY2(out.exitCode == 0, qPrintable(out.err));
    QCOMPARE(out.out, QString("2 of 2 results (Complete) into %1\n").arg(mini));

    // Killed just before its commit, an import leaves nothing behind.
    QProcessEnvironment crash = QProcessEnvironment::systemEnvironment();
    crash.insert("XRF_CRASH_POINT", "merge-before-commit");
    const Run killed = XrfResultsProcess::run({ "--data", m_dir.filePath("pc"), "import", mini },
                                              120000, QString(), crash);
    QCOMPARE(killed.status, QProcess::CrashExit);
    QCOMPARE(stored("pc"), 0);

    const Run first = xr("pc", { "import", mini });
    QCOMPARE(first.out, QStringLiteral("stored 2, skipped 0 as already there, failed 0\n"));
    QCOMPARE(first.exitCode, 0);
    const Run again = xr("pc", { "import", mini, "--json" });
    QCOMPARE(again.exitCode, 0);
    QCOMPARE(QJsonDocument::fromJson(again.out.toUtf8()).object(),
             QJsonObject({ { "file", mini },
                           { "stored", 0 },
                           { "skipped", 2 },
                           { "failed", 0 },
                           { "picturesMissing", 0 } }));
    QCOMPARE(stored("pc"), 2);

    // The stream carries the same results; the file imported stays.
    const QString stream = m_dir.filePath("usb/results.json");
    QCOMPARE(xr("instrument", { "sync-out", "--from", "2026-11-24", "--json", stream }).out,
             QString("2 of 2 results (Complete) into %1\n").arg(stream));
    QCOMPARE(xr("stream", { "import", stream }).out,
             QStringLiteral("stored 2, skipped 0 as already there, failed 0\n"));
    QCOMPARE(xr("pc", { "import", stream }).out,
             QStringLiteral("stored 0, skipped 2 as already there, failed 0\n"));

    // An unreadable object is counted and named (3), the rest stored; a
    // file without a single result is refused.
    QByteArray mixed = TestSupport::readFile(stream);
    mixed.replace(mixed.indexOf("{"), 1, "{\"analysis\": }{");
    QVERIFY(TestSupport::writeFile(m_dir.filePath("mixed.json"), mixed));
    const Run partly = xr("mixed", { "import", m_dir.filePath("mixed.json") });
    QCOMPARE(partly.out,
             QStringLiteral("stored 2, skipped 0 as already there, failed 1, "
                            "2 pictures missing\n"));
    QCOMPARE(partly.exitCode, 3);
    QVERIFY(TestSupport::writeFile(m_dir.filePath("notes.txt"), "no results here\n"));
    QCOMPARE(xr("mixed", { "import", m_dir.filePath("notes.txt") }).exitCode, 3);

    // An input that only looks like a database is the user's fault (3); an
    // output among the live files is refused (2).
    QVERIFY(TestSupport::writeFile(m_dir.filePath("bad.sqlite"),
                                   QByteArray("SQLite format 3\0x", 17)));
    QCOMPARE(xr("pc", { "import", m_dir.filePath("bad.sqlite") }).exitCode, 3);
    QCOMPARE(xr("instrument",
                { "sync-out", "--from", "2026-01-01", "--sqlite",
                  m_dir.filePath("instrument/db/copy") })
                     .exitCode,
             2);
    QCOMPARE(stored("pc"), 2);
}

void TestExchangeCommands::picturesTravelWithTheirResults_data()
{
    QTest::addColumn<bool>("stream");
    QTest::newRow("stream") << true;
    QTest::newRow("mini database") << false;
}

void TestExchangeCommands::picturesTravelWithTheirResults()
{
    QFETCH(bool, stream);
    const QString tag = stream ? "s" : "m";
    const QString samples = QStringLiteral(XRF_SOURCE_DIR "/samples/");
    const QString instrument = "instrument-" + tag;
    QCOMPARE(xr(instrument,
                { "store", samples + "01-stainless-316.json", samples + "02-rohs-abs-housing.json",
                  samples + "03-coating-au-ni-cu.json" })
                     .exitCode,
             0);
    const QMap<QString, QByteArray> sent = pictures(instrument);
    QCOMPARE(sent.size(), 4);

    const QString usb = m_dir.filePath("usb-" + tag);
    QVERIFY(QDir().mkpath(usb));
    const QString file = usb + (stream ? "/results.json" : "/mini.sqlite");
    const Run out = stream
            ? xr(instrument, { "sync-out", "--from", "2000-01-01", "--json", file })
            : xr(instrument, { "sync-out", "--from", "2000-01-01", "--sqlite", file });
    QVERIFY2(out.exitCode == 0, qPrintable(out.err));
    // A stick holds the pictures themselves.
    QDirIterator carried(usb + "/instrumentdata/images", QDir::Files | QDir::System,
                         QDirIterator::Subdirectories);
    int regular = 0;
    while (carried.hasNext())
        regular += QFileInfo(carried.next()).isSymLink() ? 0 : 1;
    QCOMPARE(regular, 4);

    // The file alone, without its pictures: the results come, the pictures
    // are said to be missing, and no row names a file that is not there.
    const QString bare = m_dir.filePath("bare-" + tag + "/" + QFileInfo(file).fileName());
    QVERIFY(QDir().mkpath(QFileInfo(bare).absolutePath()) && QFile::copy(file, bare));
    const QString pc = "pc-" + tag;
    const Run alone = xr(pc, { "import", bare });
    QCOMPARE(
            alone.out,
            QStringLiteral("stored 3, skipped 0 as already there, failed 0, 4 pictures missing\n"));
    QCOMPARE(alone.exitCode, 3);
    QVERIFY2(alone.err.contains("4 pictures"), qPrintable(alone.err));
    QVERIFY(pictures(pc).isEmpty());

    // Imported again with them, the results already there get them.
    const Run completed = xr(pc, { "import", file });
    QCOMPARE(completed.out, QStringLiteral("stored 0, skipped 3 as already there, failed 0\n"));
    QCOMPARE(completed.exitCode, 0);
    QCOMPARE(pictures(pc), sent);
    QCOMPARE(xr(pc, { "import", file }).out,
             QStringLiteral("stored 0, skipped 3 as already there, failed 0\n"));
    QCOMPARE(pictures(pc), sent);

    // Into a new folder at once; the user's file stays, no copy of it is left.
    const QString fresh = "fresh-" + tag;
    QCOMPARE(xr(fresh, { "import", file }).exitCode, 0);
    QCOMPARE(pictures(fresh), sent);
    QVERIFY(QFileInfo::exists(file));
    QCOMPARE(QDir(m_dir.filePath(fresh)).entryList({ "import-*" }), QStringList());

    // A carried "picture" that is a link to a file elsewhere on the machine
    // is not taken; the results come without it.
    const QString secret = m_dir.filePath("secret-" + tag + ".jpeg");
    QVERIFY(TestSupport::writeFile(secret, "not a picture of this result"));
    QFile::setPermissions(secret, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const QString linked = m_dir.filePath("linked-" + tag + "/" + QFileInfo(file).fileName());
    QCOMPARE(QProcess::execute("cp", { "-a", usb, QFileInfo(linked).absolutePath() }), 0);
    QDirIterator inLinked(QFileInfo(linked).absolutePath() + "/instrumentdata/images", QDir::Files,
                          QDirIterator::Subdirectories);
    const QString replaced = inLinked.next();
    QVERIFY(QFile::remove(replaced) && QFile::link(secret, replaced));
    const Run refused = xr("linked-pc-" + tag, { "import", linked });
    QCOMPARE(refused.exitCode, 3);
    QVERIFY2(refused.out.endsWith(", 1 pictures missing\n"), qPrintable(refused.out));
    for (const QByteArray &bytes : pictures("linked-pc-" + tag))
        QVERIFY(bytes != "not a picture of this result");
    QCOMPARE(pictures("linked-pc-" + tag).size(), 3);
}

void TestExchangeCommands::refusedOrMissingTargetsAreErrorsNotNothing()
{
    const QString samples = QStringLiteral(XRF_SOURCE_DIR "/samples/");
    QCOMPARE(xr("sender", { "store", samples + "01-stainless-316.json" }).exitCode, 0);
    QVERIFY(TestSupport::writeFile(m_dir.filePath("a-file"), "x"));
    const QStringList targets { m_dir.filePath("no/such/folder/out.json"),
                                m_dir.filePath("a-file/out.json"),
                                m_dir.filePath("sender/db/out.json"),
                                m_dir.filePath("sender/images/out.json"),
                                m_dir.filePath("sender/db/XL5-70312.sqlite") };
    for (const QString &target : targets) {
        for (const bool stream : { true, false }) {
            const Run r = stream
                    ? xr("sender", { "sync-out", "--from", "2000-01-01", "--json", target })
                    : xr("sender", { "sync-out", "--from", "2000-01-01", "--sqlite", target });
            QVERIFY2(r.exitCode == 2 && r.out.isEmpty() && r.err.contains(target)
                             && r.err.count('\n') == 1,
                     qPrintable(target + ": " + r.out + r.err));
        }
    }
    // Nothing matched is no error: there was nothing to carry.
    const Run none = xr("sender",
                        { "sync-out", "--from", "2099-01-01", "--json", m_dir.filePath("n.json") });
    QCOMPARE(none.exitCode, 0);
    QCOMPARE(none.out, QStringLiteral("no results after that time; no file written\n"));
    QCOMPARE(stored("sender"), 1);

    // An import into a card whose database cannot be written says so.
    const QString stream = m_dir.filePath("out.json");
    QCOMPARE(xr("sender", { "sync-out", "--from", "2000-01-01", "--json", stream }).exitCode, 0);
    QCOMPARE(xr("reader", { "store", samples + "02-rohs-abs-housing.json" }).exitCode, 0);
    const QString db = m_dir.filePath("reader/db/XL5-70312.sqlite");
    QVERIFY(QFile::setPermissions(db, QFileDevice::ReadOwner | QFileDevice::ReadGroup));
    const Run readOnly = xr("reader", { "import", stream });
    QVERIFY2(readOnly.exitCode == 2 && readOnly.err.contains("DbOpenFailed")
                     && !readOnly.err.contains("no results"),
             qPrintable(readOnly.out + readOnly.err));
}

// Older software stored averaged results without a date-time, and cards
// written before every result was dated hold such rows: each gets one that
// the file alone decides, so it shows, is deleted with the rest and is
// imported once.
void TestExchangeCommands::undatedResultsAreDatedOnceAndFoundAgain()
{
    // Two tests of one method, a minute apart, without pictures.
    QJsonObject test
            = QJsonDocument::fromJson(
                      TestSupport::readFile(XRF_SOURCE_DIR "/samples/01-stainless-316.json"))
                      .object();
    test.remove("images");
    QStringList files;
    for (const char *time : { "2026-10-01 08:00:00.000", "2026-10-01 08:01:00.000" }) {
        QJsonObject analysis = test.value("analysis").toObject();
        analysis.insert("testDateTime", time);
        test.insert("analysis", analysis);
        files << m_dir.filePath(QStringLiteral("in/%1.json").arg(files.size()));
        QVERIFY(TestSupport::writeFile(files.last(), QJsonDocument(test).toJson()));
    }
    QCOMPARE(xr("old", QStringList { "store" } + files).exitCode, 0);
    QCOMPARE(xr("old", { "average", "1", "2", "--store" }).exitCode, 0);
    const QString db = m_dir.filePath("old/db/XL5-70312.sqlite");
    const QVariantList times = TestSupport::querySqlite(
            db, "SELECT testDateTime FROM analysisresult ORDER BY testId");
    QCOMPARE(times.size(), 3);
    const auto plusOne = [](const QVariant &stored) {
        return QDateTime::fromString(stored.toString(), "yyyy-MM-dd hh:mm:ss.zzz")
                .addMSecs(1)
                .toString("yyyy-MM-dd hh:mm:ss.zzz");
    };

    // A card of older software: opened, every row is dated and shows.
    QVERIFY(TestSupport::execSqlite(
            db, { "UPDATE analysisresult SET testDateTime = '' WHERE testId IN (2, 3)" }));
    const QJsonArray listed
            = QJsonDocument::fromJson(
                      xr("old", { "list", "--from", "1970-01-02", "--to", "2100-01-01", "--json" })
                              .out.toUtf8())
                      .array();
    QCOMPARE(listed.size(), 3);
    QCOMPARE(
            TestSupport::querySqlite(db, "SELECT testDateTime FROM analysisresult ORDER BY testId"),
            QVariantList({ times.at(0), plusOne(times.at(0)),
                           plusOne(qMax(times.at(0).toString(), plusOne(times.at(0)))) }));

    // A mini database of such rows: the averaged one is dated from its
    // sources, one with nothing to go by is refused; twice is once.
    QVERIFY(QDir().mkpath(m_dir.filePath("stick")));
    const QString mini = m_dir.filePath("stick/old.sqlite");
    QCOMPARE(xr("old", { "sync-out", "--from", "1970-01-02", "--sqlite", mini }).exitCode, 0);
    QVERIFY(TestSupport::execSqlite(
            mini, { "UPDATE analysisresult SET testDateTime = '' WHERE testId IN (1, 3)" }));
    const Run first = xr("pc", { "import", mini });
    QCOMPARE(first.exitCode, 3);
    QVERIFY2(first.out.startsWith("stored 2, skipped 0 as already there, failed 1"),
             qPrintable(first.out));
    QVERIFY2(xr("pc", { "import", mini })
                     .out.startsWith("stored 0, skipped 2 as already there, "
                                     "failed 1"),
             "imported twice");
    QCOMPARE(TestSupport::querySqlite(m_dir.filePath("pc/db/XL5-70312.sqlite"),
                                      "SELECT testDateTime FROM analysisresult WHERE testType = "
                                      "'AVERAGED'"),
             QVariantList { plusOne(plusOne(times.at(0))) });

    // The stream: an averaged result sent without a date-time.
    const QString stream = m_dir.filePath("stick/old.json");
    QCOMPARE(xr("old", { "sync-out", "--from", "1970-01-02", "--json", stream }).exitCode, 0);
    QByteArray text = TestSupport::readFile(stream);
    const QByteArray averagedTime
            = TestSupport::querySqlite(db,
                                       "SELECT testDateTime FROM analysisresult WHERE "
                                       "testId = 3")
                      .value(0)
                      .toString()
                      .toUtf8();
    QVERIFY(text.contains(averagedTime));
    text.replace("\"testDateTime\":\"" + averagedTime + "\"", "\"testDateTime\":\"\"");
    QVERIFY(TestSupport::writeFile(stream, text));
    QCOMPARE(xr("pc2", { "import", stream }).out,
             QStringLiteral("stored 3, skipped 0 as already there, failed 0\n"));
    QCOMPARE(xr("pc2", { "import", stream }).out,
             QStringLiteral("stored 0, skipped 3 as already there, failed 0\n"));

    // Every row of the card goes with "everything".
    QCOMPARE(QJsonDocument::fromJson(
                     xr("old", { "delete", "--all", "--yes", "--json" }).out.toUtf8())
                     .object()
                     .value("deleted")
                     .toArray()
                     .size(),
             3);
}

// What a deletion or an import killed at the wrong moment leaves (pictures
// named by no row, a copy of the stream) goes with the next run.
void TestExchangeCommands::killedRunsLeaveNothingForGood()
{
    const QString samples = QStringLiteral(XRF_SOURCE_DIR "/samples/");
    QCOMPARE(
            xr("kill",
               { "store", samples + "01-stainless-316.json", samples + "02-rohs-abs-housing.json" })
                    .exitCode,
            0);
    const auto files = [this](const QString &data) {
        QStringList found;
        QDirIterator it(m_dir.filePath(data + "/images"), QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            found << it.next();
        found.sort();
        return found;
    };
    QCOMPARE(files("kill").size(), 3);
    const QStringList second = pictures("kill").keys().filter(TestSupport::tidNameOf(
            QJsonDocument::fromJson(TestSupport::readFile(samples + "02-rohs-abs-housing.json"))
                    .object()));
    QCOMPARE(second.size(), 1);

    const auto killed = [this](const QString &data, const QString &point, const QStringList &args) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XRF_CRASH_POINT", point);
        return XrfResultsProcess::run(QStringList { "--data", m_dir.filePath(data) } + args, 120000,
                                      QString(), env)
                .status;
    };
    QCOMPARE(killed("kill", "delete-after-commit", { "delete", "--ids", "1", "--yes" }),
             QProcess::CrashExit);
    QCOMPARE(stored("kill"), 1);
    QCOMPARE(files("kill").size(), 3);
    QCOMPARE(xr("kill", { "info" }).exitCode, 0);
    QCOMPARE(files("kill"),
             QStringList { m_dir.filePath("kill/images/") + second.first().section(' ', -1) });

    // An import killed before its commit: its pictures and its copy of the
    // stream go with the next run.
    QVERIFY(QDir().mkpath(m_dir.filePath("carry")));
    QCOMPARE(xr("kill",
                { "sync-out", "--from", "2000-01-01", "--json", m_dir.filePath("carry/one.json") })
                     .exitCode,
             0);
    QCOMPARE(
            killed("other", "import-before-commit", { "import", m_dir.filePath("carry/one.json") }),
            QProcess::CrashExit);
    QCOMPARE(files("other").size(), 1);
    QCOMPARE(QDir(m_dir.filePath("other")).entryList({ "import-*" }).size(), 1);
    QCOMPARE(xr("other", { "store", samples + "03-coating-au-ni-cu.json" }).exitCode, 0);
    QCOMPARE(QDir(m_dir.filePath("other")).entryList({ "import-*" }), QStringList());
    QCOMPARE(files("other").size(), 1); // the stored sample's own
    QCOMPARE(pictures("other").size(), 1);
}

QTEST_GUILESS_MAIN(TestExchangeCommands)
#include "tst_exchangecommands.moc"
