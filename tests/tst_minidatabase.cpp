// The mini database through the facade and the real worker thread: results
// carried from one data folder (the instrument) to another (the PC, or a
// second instrument) whole, once, with their pictures and references; files
// that are not what they claim to be kept outside.

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QtTest>

#include "libraryfixture.h"
#include "oldschema.h"
#include "resultmanager.h"
#include "resultschema.h"
#include "testsupport.h"
#include "xrfsettingsmanager.h"

using TestSupport::execSqlite;
using TestSupport::makeOldSchemaFile;
using TestSupport::oldSchema;
using TestSupport::querySqlite;
using TestSupport::utc;

namespace {

// The result without the test and filter ids it holds: those differ between
// databases; what they point at (the historical test's and the sources' names
// and times, the filters' values) must not.
QJsonObject withoutIds(const XrfKorviResult &r)
{
    QJsonObject o = r.toJsonObject();
    auto strip = [&o](const char *part, const char *key) {
        const QJsonValue value = o.value(part);
        QJsonArray items;
        for (const QJsonValue &item : value.isArray() ? value.toArray() : QJsonArray { value }) {
            QJsonObject object = item.toObject();
            object.remove(key);
            items << object;
        }
        o.insert(part, value.isArray() ? QJsonValue(items) : items.first());
    };
    strip("analysis", "testId");
    strip("regressionInfo", "historicalTestId");
    strip("avgOfTestsInfo", "testId");
    strip("spectra", "filterPosition");
    return o;
}

} // namespace

class TestMiniDatabase : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup() { m_lib.end(); }

    void resultsTravelWholeAndOnce();
    void migratedFilesImportByColumnName();
    void untrustedFilesLeaveTheReceiverAsItWas();
    void captureLimitRefusalAndAbort();

private:
    void useCard(const QString &card)
    {
        m_rm->setInstrumentDataPath(QString(), QString());
        m_lib.openCard(card);
        m_card = m_lib.path(card);
    }
    int store(XrfKorviResult r)
    {
        TestSupport::placeImages(r, m_card);
        return m_lib.store(r);
    }
    // The results the sample files give, in this order, with their ids.
    QList<int> storeSamples(const QStringList &names)
    {
        QList<int> ids;
        for (const QString &name : names)
            ids << store(TestSupport::sample(name));
        return ids;
    }
    int storeAverage(const QList<int> &sources)
    {
        XrfKorviResult avg = TestSupport::sample("01-stainless-316");
        avg.analysis().setTestType("AVERAGED");
        avg.analysis().setTidName("Avg");
        avg.analysis().setTestDateTime(utc("2026-11-27 10:00:00.000"));
        avg.spectra().clear();
        avg.images().clear();
        for (int id : sources) {
            XrfAverageInfo source;
            source.setTestId(id);
            avg.avgOfTestsInfo() << source;
        }
        return m_lib.store(avg);
    }
    // Every stored result read whole, by date-time and name.
    QMap<QString, XrfKorviResult> stored()
    {
        QMap<QString, XrfKorviResult> results;
        for (const QVariant &id :
             querySqlite(m_lib.databaseFile(), "SELECT testId FROM analysisresult")) {
            const XrfKorviResult r = m_lib.readBack(id.toInt());
            results.insert(r.analysis().dateTimeString() + ' ' + r.analysis().tidName(), r);
        }
        return results;
    }
    // "code captured/found status".
    QString syncOut(const QString &from, const QString &out)
    {
        int captured = -1, found = -1;
        QString status;
        // The stick is mounted: its folder is there.
        QDir().mkpath(QFileInfo(out).absolutePath());
        const int code
                = m_rm->getResultsInASqlDbFromTestDateTime(from, out, &captured, &found, &status);
        return QStringLiteral("%1 %2/%3 %4").arg(code).arg(captured).arg(found).arg(status);
    }
    // The code, then the counts that resultsImported gave before the call
    // returned: stored, skipped, failed, pictures missing.
    QList<int> import(const QString &file)
    {
        QSignalSpy reported(m_rm, &XrfResultManager::resultsImported);
        QList<int> outcome { m_rm->importResultsFromSqlDb(file) };
        for (const QVariant &count : reported.value(0))
            outcome << count.toInt();
        return outcome;
    }
    // What a failed import must leave as it was.
    QString fingerprint()
    {
        QStringList counts;
        for (const ResultSchema::Table &t : ResultSchema::tables())
            counts << querySqlite(m_lib.databaseFile(), "SELECT count(*) FROM " + t.name)
                              .value(0)
                              .toString();
        return querySqlite(m_lib.databaseFile(), "PRAGMA integrity_check").value(0).toString() + ' '
                + counts.join(',') + ' '
                + QDir(m_card + "/images")
                          .entryList(QDir::AllEntries | QDir::NoDotAndDotDot)
                          .join(',');
    }

    TestSupport::LibraryFixture m_lib;
    XrfResultManager *m_rm = nullptr;
    QString m_card;
};

void TestMiniDatabase::init()
{
    QVERIFY(m_lib.begin("SN-MINI"));
    XrfSettingsManager::instance()->setGlobalSetting("print", { { "autoPrint", false } });
    QVERIFY(m_rm = m_lib.startFacade());
}

void TestMiniDatabase::resultsTravelWholeAndOnce()
{
    useCard("instrument");
    // The regression refers to test 3; the average to tests 1 and 2.
    const QList<int> ids
            = storeSamples({ "01-stainless-316", "02-rohs-abs-housing", "03-coating-au-ni-cu",
                             "04-calibration-check", "05-brass-repeat", "06-soil-regression" });
    QCOMPARE(ids, QList<int>({ 1, 2, 3, 4, 5, 6 }));
    QVERIFY(storeAverage({ 1, 2 }) > 0);
    const QMap<QString, XrfKorviResult> sent = stored();
    const QString instrumentImages = m_card + "/images/";

    QCOMPARE(syncOut("", m_lib.path("pc/transfer/mini")), QStringLiteral("0 7/7 Complete"));

    // The PC keeps results of its own, one with a filter of its own.
    useCard("pc");
    XrfKorviResult mine = TestSupport::sample("07-copper-awkward-texts");
    mine.spectra()[0].filter().setMaterialAtomicNumber(29);
    QCOMPARE(store(mine), 1);
    const QMap<QString, XrfKorviResult> own = stored();
    QCOMPARE(import(m_lib.path("pc/transfer/mini.sqlite")), QList<int>({ 0, 7, 0, 0, 0 }));

    const QMap<QString, XrfKorviResult> after = stored();
    QCOMPARE(after.size(), 8);
    for (auto it = own.cbegin(); it != own.cend(); ++it)
        QCOMPARE(after.value(it.key()).toJsonObject(), it.value().toJsonObject());
    for (auto it = sent.cbegin(); it != sent.cend(); ++it) {
        const XrfKorviResult &back = after.value(it.key());
        QVERIFY2(back.analysis().testId() > 1, qPrintable(it.key()));
        QCOMPARE(withoutIds(back), withoutIds(it.value()));
        for (const XrfImageInfo &image : back.images()) {
            QVERIFY(QFileInfo(m_card + "/images/" + image.name()).isFile());
            QCOMPARE(TestSupport::readFile(m_card + "/images/" + image.name()),
                     TestSupport::readFile(instrumentImages + image.name()));
        }
    }

    const QString before = fingerprint();
    QCOMPARE(import(m_lib.path("pc/transfer/mini.sqlite")), QList<int>({ 0, 0, 7, 0, 0 }));
    QCOMPARE(fingerprint(), before);
}

void TestMiniDatabase::migratedFilesImportByColumnName()
{
    // An instrument upgraded over the years: its results were stored under
    // the 4.0 schema, and the upgrade's ALTER TABLE put the later columns
    // last in their tables.
    useCard("current");
    QCOMPARE(storeSamples({ "01-stainless-316", "02-rohs-abs-housing", "03-coating-au-ni-cu",
                            "06-soil-regression" }),
             QList<int>({ 1, 2, 3, 4 }));
    QVERIFY(storeAverage({ 1, 2 }) > 0);
    const QString oldFile = m_lib.path("old/db/SN-MINI.sqlite");
    QVERIFY(makeOldSchemaFile(m_lib.databaseFile(), oldFile, oldSchema("4.0")));
    QCOMPARE(QProcess::execute("cp", { "-a", m_lib.path("current/images"), m_lib.path("old") }), 0);

    useCard("old");
    QCOMPARE(m_lib.databaseFile(), oldFile);
    QCOMPARE(querySqlite(oldFile, "SELECT dbVersion FROM devinfo").value(0).toString(),
             QStringLiteral("6.3"));
    QVERIFY(querySqlite(oldFile, "SELECT count(*) FROM filterprops").value(0).toInt() >= 2);
    const QMap<QString, XrfKorviResult> sent = stored();
    QCOMPARE(syncOut("", m_lib.path("carried/mini")), QStringLiteral("0 5/5 Complete"));

    // The file itself as an older instrument's mini database, without a
    // column that later files have.
    const QString older = m_lib.path("older.sqlite");
    QVERIFY(QFile::copy(oldFile, older));
    QVERIFY(execSqlite(older, { "ALTER TABLE imageresult DROP COLUMN imageHasCircle" }));
    QCOMPARE(QProcess::execute("cp", { "-a", m_lib.path("carried/instrumentdata"), m_lib.path() }),
             0);

    for (const QString &file : { m_lib.path("carried/mini.sqlite"), older }) {
        useCard(file == older ? "fresh2" : "fresh1");
        QCOMPARE(import(file), QList<int>({ 0, 5, 0, 0, 0 }));
        const QMap<QString, XrfKorviResult> back = stored();
        QCOMPARE(back.keys(), sent.keys());
        for (auto it = sent.cbegin(); it != sent.cend(); ++it) {
            XrfKorviResult expected = it.value();
            for (XrfImageInfo &image : expected.images())
                image.setImageHasCircle(image.imageHasCircle() && file != older);
            QCOMPARE(withoutIds(back.value(it.key())), withoutIds(expected));
        }
    }
}

void TestMiniDatabase::untrustedFilesLeaveTheReceiverAsItWas()
{
    useCard("instrument");
    QCOMPARE(store(TestSupport::sample("01-stainless-316")), 1);
    // Quoted nowhere: the path is bound.
    const QString mini = m_lib.path("it's here/mini");
    QCOMPARE(syncOut("", mini), QStringLiteral("0 1/1 Complete"));

    useCard("pc");
    QCOMPARE(store(TestSupport::sample("07-copper-awkward-texts")), 1);
    const QString before = fingerprint();
    const QString dbFile = m_lib.databaseFile();

    auto tampered = [&](const QString &name, const QStringList &statements) {
        const QString file = m_lib.path(name);
        QFile::copy(mini + ".sqlite", file);
        return execSqlite(file, statements) ? file : QString();
    };
    QVERIFY(TestSupport::writeFile(m_lib.path("notes.sqlite"), "SQLite format 2, honestly"));
    const QStringList refused {
        m_lib.path("notes.sqlite"),
        m_lib.path("absent.sqlite"),
        tampered("view.sqlite",
                 { "DROP TABLE analysisresult",
                   "CREATE VIEW analysisresult AS SELECT 99 AS testId, "
                   "'2020-01-01 00:00:00.000' AS testDateTime, 'v' AS tidName" }),
        tampered("trigger.sqlite",
                 { "CREATE TRIGGER t AFTER INSERT ON testinfo BEGIN DELETE FROM spectrum; END" }),
        tampered("extra.sqlite", { "CREATE TABLE notes (text TEXT)" }),
    };
    for (const QString &file : refused) {
        QVERIFY(!file.isEmpty());
        QCOMPARE(import(file), QList<int>({ XrfErrorInfo::FileOpenFailed, 0, 0, 0, 0 }));
        QCOMPARE(fingerprint(), before);
    }

    // A failed commit and an abort take back the rows and the pictures.
    for (const char *fault : { "merge-commit-fail", "minidb-abort" }) {
        qputenv("XRF_FAULT_POINT", fault);
        const int code = import(mini + ".sqlite").value(0);
        qunsetenv("XRF_FAULT_POINT");
        QVERIFY(code == XrfErrorInfo::DbQueryFailed || code == XrfErrorInfo::OperationAborted);
        QCOMPARE(fingerprint(), before);
    }

    // An image name that points at the live database stays a dropped name,
    // even with a file waiting where it points.
    QVERIFY(execSqlite(mini + ".sqlite",
                       { "UPDATE imageresult SET fileName = '../db/SN-MINI.sqlite' WHERE rowid = "
                         "(SELECT min(rowid) FROM imageresult)" }));
    QVERIFY(TestSupport::writeFile(m_lib.path("it's here/instrumentdata/db/SN-MINI.sqlite"),
                                   "not a database"));
    QCOMPARE(import(mini + ".sqlite"), QList<int>({ 0, 1, 0, 0, 0 }));
    QCOMPARE(querySqlite(dbFile, "PRAGMA integrity_check").value(0).toString(),
             QStringLiteral("ok"));
    QCOMPARE(querySqlite(dbFile, "SELECT count(*) FROM analysisresult").value(0).toInt(), 2);
    QCOMPARE(querySqlite(dbFile, "SELECT count(*) FROM imageresult WHERE testId = 2").value(0),
             QVariant(1));
    QVERIFY(querySqlite(dbFile, "SELECT count(*) FROM imageresult WHERE fileName LIKE '%..%'")
                    .value(0)
                    .toInt()
            == 0);
    QVERIFY(TestSupport::readFile(dbFile).startsWith("SQLite format 3"));
}

void TestMiniDatabase::captureLimitRefusalAndAbort()
{
    useCard("instrument");
    QSignalSpy committed(m_rm, &XrfResultManager::resultCommitted);
    const QDateTime first = utc("2026-01-01 00:00:00.000");
    for (int i = 0; i < 750; ++i)
        m_rm->addTestResult(TestSupport::quickResult(QString("q%1").arg(i), first.addSecs(60 * i)));
    QTRY_COMPARE_WITH_TIMEOUT(committed.count(), 750, 120000);

    const QString out = m_lib.path("pc/mini");
    QCOMPARE(syncOut("", out), QStringLiteral("0 500/750 Partial"));
    // The first 500 by date.
    QCOMPARE(querySqlite(out + ".sqlite",
                         "SELECT sum(testDateTime < '2026-01-01 08:20') || '/' || count(*) "
                         "FROM analysisresult")
                     .value(0)
                     .toString(),
             QStringLiteral("500/500"));

    QCOMPARE(syncOut("2026-01-01 12:28:30.000", m_lib.path("pc/late")),
             QStringLiteral("0 1/1 Complete"));
    QCOMPARE(syncOut("2099-01-01 00:00:00.000", m_lib.path("pc/none")),
             QStringLiteral("0 0/0 Complete"));
    QVERIFY(!QFileInfo::exists(m_lib.path("pc/none.sqlite")));

    const QString live = m_lib.databaseFile();
    for (const QString &refused :
         { live.chopped(7), m_card + "/db/copy", m_card + "/images/x", QString() })
        QCOMPARE(syncOut("", refused), QStringLiteral("-996 0/0 "));
    QCOMPARE(TestSupport::databaseFolder(m_card + "/db"), QStringList({ "SN-MINI.sqlite" }));

    // Stopped or failed, a new file replaces nothing and leaves no part.
    const QByteArray kept = TestSupport::readFile(out + ".sqlite");
    for (const char *fault : { "minidb-abort", "minidb-build-commit-fail" }) {
        qputenv("XRF_FAULT_POINT", fault);
        const QString outcome = syncOut("", out);
        qunsetenv("XRF_FAULT_POINT");
        QVERIFY2(outcome.endsWith(" 0/750 Partial") && !outcome.startsWith("0 "),
                 qPrintable(outcome));
        QCOMPARE(TestSupport::readFile(out + ".sqlite"), kept);
        QCOMPARE(QDir(m_lib.path("pc")).entryList({ "mini*" }, QDir::Files),
                 QStringList({ "mini.sqlite" }));
    }
}

QTEST_GUILESS_MAIN(TestMiniDatabase)
#include "tst_minidatabase.moc"
