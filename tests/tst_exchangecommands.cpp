// xrfresults sync-out and import as a person uses them: results carried from
// one data folder to another through a mini database, by the real program.

#include <QDir>
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
             QJsonObject({ { "file", mini }, { "stored", 0 }, { "skipped", 2 }, { "failed", 0 } }));
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
    QCOMPARE(partly.out, QStringLiteral("stored 2, skipped 0 as already there, failed 1\n"));
    QCOMPARE(partly.exitCode, 3);
    QVERIFY(TestSupport::writeFile(m_dir.filePath("notes.txt"), "no results here\n"));
    QCOMPARE(xr("mixed", { "import", m_dir.filePath("notes.txt") }).exitCode, 3);

    // Refused files are the user's (3): an output among the live files, an
    // input that only looks like a database.
    QVERIFY(TestSupport::writeFile(m_dir.filePath("bad.sqlite"),
                                   QByteArray("SQLite format 3\0x", 17)));
    QCOMPARE(xr("pc", { "import", m_dir.filePath("bad.sqlite") }).exitCode, 3);
    QCOMPARE(xr("instrument",
                { "sync-out", "--from", "2026-01-01", "--sqlite",
                  m_dir.filePath("instrument/db/copy") })
                     .exitCode,
             3);
    QCOMPARE(stored("pc"), 2);
}

QTEST_GUILESS_MAIN(TestExchangeCommands)
#include "tst_exchangecommands.moc"
