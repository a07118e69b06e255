// The result queue with the real library behind it: a queued result reaches
// the database once and its file goes once its actions are done; capacity;
// damaged queue files; results that fail or find no card; the cloud upload
// through a stand-in script.

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QtTest>

#include "libraryfixture.h"
#include "resultmanager.h"
#include "testsupport.h"
#include "xrfplatform.h"
#include "xrfresultqueue.h"
#include "xrfsettingsmanager.h"
#include "xrfutils.h"

using TestSupport::execSqlite;
using TestSupport::LibraryFixture;
using TestSupport::querySqlite;

namespace {

XrfKorviResult makeResult(int index, const QString &tidName = QString())
{
    return TestSupport::quickResult(
            tidName.isEmpty() ? QStringLiteral("Q%1").arg(index) : tidName,
            QDateTime(QDate(2026, 3, 1), QTime(9, 0), Qt::UTC).addMSecs(qint64(index) * 1001));
}

} // namespace

class TestQueue : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup() { m_lib.end(); }

    void queuedResultIsStoredOnceAndItsFileGoes_data();
    void queuedResultIsStoredOnceAndItsFileGoes();
    void fileNameAndLookupByDayAndName();
    void capacityWarnsAndRefusesWithoutLosing();
    void unreadableQueueFilesAreSetAsideNeverDeleted();
    void resultsThatCanNeverBeStoredDoNotCycle();
    void resultsSharingADateTimeAreAllStored();
    void aFullDiskLeavesNoShortQueueFile();
    void actionsThatCannotRunNeverWedgeTheQueue_data();
    void actionsThatCannotRunNeverWedgeTheQueue();
    void failingResultDoesNotBlockOthersAndIsStoredLater();
    void resultsWaitForTheCard();
    void failedCommitKeepsTheFile();
    void cloudUploadOutcomes();
    void hangingUploadIsStoppedAndRetried();

private:
    void useUploadScript(const QString &script);
    // A queue file as JSON; empty when it cannot be read.
    static QJsonObject readJson(const QString &path)
    {
        QJsonObject file;
        XrfUtils::openFileJsonFile(path, &file);
        return file;
    }
    QStringList queueFiles() const { return QDir(m_queue->queuePath()).entryList(QDir::Files); }
    QString dbFile() const { return m_lib.path("card/db/SN-Q.sqlite"); }
    int stored(const QString &where = "1") const
    {
        return querySqlite(dbFile(), "SELECT count(*) FROM analysisresult WHERE " + where)
                .value(0)
                .toInt();
    }
    int distinctTimes() const
    {
        return querySqlite(dbFile(), "SELECT count(DISTINCT testDateTime) FROM analysisresult")
                .value(0)
                .toInt();
    }
    int storedCount(QString tidName) const
    {
        return stored("tidName = '" + tidName.replace("'", "''") + "'");
    }

    TestSupport::LibraryFixture m_lib;
    XrfResultManager *m_rm = nullptr;
    XrfResultQueue *m_queue = nullptr;
};

void TestQueue::init()
{
    QVERIFY(m_lib.begin("SN-Q"));
    QVERIFY(m_rm = m_lib.startFacade());
    m_queue = m_lib.startQueue();
}

// The stand-in upload script, with its files in the test's folder.
void TestQueue::useUploadScript(const QString &script)
{
    XrfPlatform *platform = XrfPlatform::instance();
    if (!script.isEmpty())
        platform->setCloudUploadScriptPath(script);
    platform->setCloudUploadInputPath(m_lib.path("result_to_upload.json"));
    platform->setCloudUploadResponsePath(m_lib.path("response.json"));
    platform->setCloudUploadLogPath(m_lib.path("upload.log"));
    platform->setCloudUploadWorkingDirectory(m_lib.path());
}

void TestQueue::queuedResultIsStoredOnceAndItsFileGoes_data()
{
    QTest::addColumn<bool>("autoExport");
    QTest::addColumn<bool>("cloud");
    QTest::newRow("database") << false << false;
    QTest::newRow("database and export") << true << false;
    QTest::newRow("database and cloud") << false << true;
}

void TestQueue::queuedResultIsStoredOnceAndItsFileGoes()
{
    QFETCH(bool, autoExport);
    QFETCH(bool, cloud);
    LibraryFixture::setActions(true, cloud, autoExport);
    if (cloud)
        useUploadScript(XRF_SOURCE_DIR "/tools/cloud/result_upload.py");
    m_lib.openCard();

    // A stand-in for the export side: it reports every requested export done.
    QStringList exportsAsked;
    if (autoExport) {
        connect(m_rm, &XrfResultManager::operationDone, this,
                [&](int command, int, const QJsonDocument &, XrfErrorInfo::XrfError) {
                    if (command == 108)
                        exportsAsked << QStringLiteral("asked");
                });
    }
    XrfKorviResult r = makeResult(1, QStringLiteral("A/B: O'Brien?"));
    r.testInfo() = { QJsonObject { { "key", "Lot" }, { "value", "'; DROP TABLE x; --  Ærø" } } };
    m_queue->addResult(r);
    QCOMPARE(queueFiles().size(), 1);
    QVERIFY(queueFiles().first().contains(QStringLiteral("A_B_ O'Brien_")));

    if (autoExport) {
        QTRY_VERIFY_WITH_TIMEOUT(!exportsAsked.isEmpty(), 5000);
        QCOMPARE(queueFiles().size(), 1); // waits for the export
        m_queue->onExportComplete(1, XrfErrorInfo::NoError);
    }
    QTRY_VERIFY_WITH_TIMEOUT(queueFiles().isEmpty(), 10000);
    QCOMPARE(storedCount(QStringLiteral("A/B: O'Brien?")), 1);
    const XrfKorviResult back = m_lib.readBack(1);
    QCOMPARE(back.analysis().tidName(), QStringLiteral("A/B: O'Brien?"));
    QCOMPARE(back.testInfo().value(0).value("value").toString(),
             QStringLiteral("'; DROP TABLE x; --  Ærø"));
    if (cloud)
        QVERIFY(QFile(m_lib.path("upload.log")).size() > 0);
    QTest::qWait(200); // a later pass must not store it again
    QCOMPARE(stored(), 1);
}

void TestQueue::fileNameAndLookupByDayAndName()
{
    m_queue->pauseResultQueue();
    const QDateTime when(QDate(2024, 8, 26), QTime(14, 30, 5, 123), Qt::UTC);
    QCOMPARE(m_queue->createQueuedResultPath(when, QStringLiteral("S1"), 57),
             m_queue->queuePath() + "/20240826143005123_S1_57.json");
    // Local time in the name would depend on the instrument's zone.
    QCOMPARE(m_queue->createQueuedResultPath(when.toOffsetFromUtc(7200), QStringLiteral("S1"), 57),
             m_queue->queuePath() + "/20240826143005123_S1_57.json");
    const QString longName = QString(300, QChar(0x00e9));
    QVERIFY(QFileInfo(m_queue->createQueuedResultPath(when, longName, 123456))
                    .fileName()
                    .toUtf8()
                    .size()
            <= 255);

    auto queue = [&](const QString &name, int secs) {
        XrfKorviResult r = makeResult(0, name);
        r.analysis().setTestDateTime(when.addSecs(secs));
        m_queue->addResult(r);
    };
    XrfKorviResult found;
    auto fetch = [&](const char *day, const char *name) {
        return m_queue->fetchQueuedResult(day, name, &found);
    };
    queue("S[1]*", 0);
    QVERIFY(fetch("2024-08-26", "S[1]*"));
    QCOMPARE(found.analysis().testDateTime(), when);
    QVERIFY(!fetch("2024-08-27", "S[1]*"));
    QVERIFY(!fetch("2024-08-26", "S"));
    // Names that become one file name are still told apart.
    queue("A?B", 30);
    QVERIFY(!fetch("2024-08-26", "A:B"));
    QVERIFY(fetch("2024-08-26", "A?B"));
    // Two with one name on one day: which is meant is unknown, so neither is given.
    queue("S[1]*", 60);
    QVERIFY(!fetch("2024-08-26", "S[1]*"));
}

void TestQueue::capacityWarnsAndRefusesWithoutLosing()
{
    m_queue->pauseResultQueue();
    QSignalSpy nearing(m_queue, &XrfResultQueue::queueSizeWarning);
    QSignalSpy full(m_queue, &XrfResultQueue::queueFullWarning);
    for (int i = 0; i < 180; ++i)
        m_queue->addResult(makeResult(i));
    QCOMPARE(nearing.count(), 0);
    m_queue->addResult(makeResult(180)); // the 181st finds 180 files
    QCOMPARE(nearing.count(), 1);
    for (int i = 181; i < 200; ++i)
        m_queue->addResult(makeResult(i));
    QCOMPARE(nearing.count(), 1);
    QCOMPARE(full.count(), 0);
    m_queue->addResult(makeResult(200));
    QCOMPARE(full.count(), 1);
    QCOMPARE(queueFiles().size(), 200);

    m_lib.openCard();
    m_queue->unPauseResultQueue();
    QTRY_VERIFY_WITH_TIMEOUT(queueFiles().isEmpty(), 60000);
    QCOMPARE(distinctTimes(), 200);
    QCOMPARE(storedCount(QStringLiteral("Q200")), 0);
}

void TestQueue::unreadableQueueFilesAreSetAsideNeverDeleted()
{
    // A real result whose name looks like a temporary file's.
    m_queue->addResult(makeResult(9, QStringLiteral("report.json.v2")));
    XrfResultQueue::destroyInstance();

    // What a restart may find beside it: damaged files, objects without a
    // result, and the temporary file of a save that was cut off.
    const QMap<QString, QByteArray> damaged {
        { "20260301090000000_truncated_1.json", "{\"queuedForDb\": false, \"result\": {\"analys" },
        { "20260301090000001_empty_2.json", "" },
        { "20260301090000002_array_3.json", "[1, 2, 3]" },
        { "20260301090000003_wrongtypes_4.json",
          "{\"queuedForDb\": \"yes\", \"result\": 5, \"testId\": \"x\"}" },
        { "20260301090000004_stray_5.json", "{\"note\": \"not a result\"}" },
    };
    const QString queueDir = m_lib.path("resultQueue");
    for (auto it = damaged.begin(); it != damaged.end(); ++it)
        QVERIFY(TestSupport::writeFile(queueDir + '/' + it.key(), it.value()));
    // A result written by other software, without the queue's flags.
    QVERIFY(TestSupport::writeFile(
            queueDir + "/20260301090000008_bare_8.json",
            QJsonDocument(QJsonObject { { "result", makeResult(8, "bare").toJsonObject() } })
                    .toJson()));
    const QString leftover = queueDir + "/20260301090000006_Q6_7.json.Ab3xYz";
    QVERIFY(TestSupport::writeFile(leftover, "{\"queuedF"));

    // While the files cannot be read at all, they are only waited for.
    qputenv("XRF_FAULT_POINT", "queue-read");
    m_queue = m_lib.startQueue();
    QSignalSpy setAside(m_queue, &XrfResultQueue::resultSetAside);
    m_lib.openCard();
    QTest::qWait(400);
    QCOMPARE(queueFiles().size(), damaged.size() + 2);
    QVERIFY(!QFileInfo::exists(leftover));
    QCOMPARE(setAside.count(), 0);
    QCOMPARE(storedCount("report.json.v2"), 0);

    qunsetenv("XRF_FAULT_POINT");
    QTRY_VERIFY_WITH_TIMEOUT(queueFiles().isEmpty(), 10000);
    QCOMPARE(storedCount("report.json.v2"), 1);
    QCOMPARE(storedCount("bare"), 1);
    QCOMPARE(setAside.count(), damaged.size());
    for (auto it = damaged.begin(); it != damaged.end(); ++it)
        QCOMPARE(TestSupport::readFile(queueDir + "/failed/" + it.key()), it.value());
}

void TestQueue::resultsThatCanNeverBeStoredDoNotCycle()
{
    m_lib.openCard();
    QSignalSpy notQueued(m_queue, &XrfResultQueue::resultNotQueued);
    QSignalSpy setAside(m_queue, &XrfResultQueue::resultSetAside);

    // Non-finite numbers are stored and read back as themselves.
    XrfKorviResult odd = makeResult(1, QStringLiteral("nan"));
    odd.chemistry()[0].setConcentration(qQNaN());
    odd.chemistry()[0].setError(qInf());
    odd.chemistry()[1].setConcentration(qQNaN());
    m_queue->addResult(odd);
    XrfKorviResult cal = makeResult(2, QStringLiteral("cal"));
    cal.analysis().setTestType(QStringLiteral("CALCHECK"));
    cal.setHasCalCheck(true);
    cal.calCheck()->setSlope(-qInf());
    cal.calCheck()->setRate(qQNaN());
    m_queue->addResult(cal);
    QTRY_VERIFY_WITH_TIMEOUT(queueFiles().isEmpty(), 5000);
    QCOMPARE(storedCount("nan") + storedCount("cal"), 2);
    const XrfKorviResult back
            = m_lib.readBack(m_rm->storedTestId("2026-03-01 09:00:01.001", "nan"));
    QCOMPARE(back.chemistry().size(), odd.chemistry().size());
    QVERIFY(qIsNaN(back.chemistry().at(0).concentration()));
    QVERIFY(qIsInf(back.chemistry().at(0).error()));
    QVERIFY(qIsNaN(back.chemistry().at(1).concentration()));
    const XrfKorviResult calBack
            = m_lib.readBack(m_rm->storedTestId("2026-03-01 09:00:02.002", "cal"));
    QVERIFY(calBack.hasCalCheck());
    QVERIFY(qIsInf(calBack.calCheck()->slope()) && calBack.calCheck()->slope() < 0);

    // Two grade matches with one key would fail every try: refused at once.
    XrfKorviResult twice = makeResult(4, QStringLiteral("twice"));
    XrfGradeMatch grade;
    grade.setGradeName(QStringLiteral("316L"));
    twice.gradeMatch() = { grade, grade };
    m_queue->addResult(twice);
    QCOMPARE(notQueued.count(), 1);
    QCOMPARE(notQueued.at(0).at(1).toString(), QStringLiteral("twice"));
    QCOMPARE(notQueued.at(0).at(2).value<XrfErrorInfo::XrfError>(), XrfErrorInfo::InvalidArgument);
    QVERIFY(queueFiles().isEmpty());

    // A result that fails every time while others are stored is set aside
    // after five tries, never deleted.
    m_queue->setHandOverTimeout(100);
    QVERIFY(execSqlite(dbFile(),
                       { "CREATE TRIGGER poison BEFORE INSERT ON analysisresult "
                         "WHEN NEW.tidName = 'poison' BEGIN SELECT RAISE(ABORT, 'x'); END" }));
    m_queue->addResult(makeResult(3, QStringLiteral("poison")));
    for (int i = 10; i < 200 && setAside.isEmpty(); ++i) {
        m_queue->addResult(makeResult(i));
        QTest::qWait(60);
    }
    QCOMPARE(setAside.count(), 1);
    const QString aside = setAside.at(0).at(0).toString();
    QVERIFY2(aside.contains("/resultQueue/failed/") && aside.contains("_poison_"),
             qPrintable(aside));
    QCOMPARE(readJson(aside)
                     .value("result")
                     .toObject()
                     .value("analysis")
                     .toObject()
                     .value("tidName"),
             QJsonValue("poison"));
    QTRY_VERIFY_WITH_TIMEOUT(queueFiles().isEmpty(), 10000);
    QCOMPARE(storedCount("poison"), 0);
}

void TestQueue::resultsSharingADateTimeAreAllStored()
{
    // Eight names at one millisecond, two of which share a file-safe name.
    const QStringList names { "A:B", "A?B", "c", "d", "e", "f", "g", "h" };
    for (const QString &name : names)
        m_queue->addResult(makeResult(1, name));
    // Two undated results with one name are two results, each with a time.
    XrfKorviResult undated = makeResult(0, QStringLiteral("avg"));
    undated.analysis().setTestDateTime(QDateTime());
    undated.analysis().setTestType(QStringLiteral("AVERAGED"));
    m_queue->addResult(undated);
    m_queue->addResult(undated);
    QCOMPARE(queueFiles().size(), 10);
    m_lib.openCard();
    QTRY_VERIFY_WITH_TIMEOUT(queueFiles().isEmpty(), 10000);
    for (const QString &name : names)
        QCOMPARE(storedCount(name), 1);
    const QVariantList times = querySqlite(
            dbFile(), "SELECT testDateTime FROM analysisresult WHERE tidName = 'avg'");
    QCOMPARE(times.size(), 2);
    QVERIFY(times.at(0) != times.at(1));
    for (const QVariant &t : times)
        QVERIFY(QDateTime::fromString(t.toString(), "yyyy-MM-dd hh:mm:ss.zzz").isValid());

    // The queued form of an undated result carries its time: handed over
    // again and again, it is stored once.
    XrfKorviResult late = makeResult(0, QStringLiteral("late"));
    late.analysis().setTestDateTime(QDateTime());
    m_queue->pauseResultQueue();
    m_queue->addResult(late);
    QCOMPARE(queueFiles().size(), 1);
    XrfKorviResult queued;
    queued.fromJsonObject(
            readJson(m_queue->queuePath() + '/' + queueFiles().first()).value("result").toObject());
    QVERIFY(queued.analysis().testDateTime().isValid());
    QSignalSpy committed(m_rm, &XrfResultManager::resultCommitted);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(m_rm->addTestResult(queued), XrfErrorInfo::NoError);
    QTRY_COMPARE(committed.count(), 3);
    QCOMPARE(storedCount("late"), 1);
}

void TestQueue::aFullDiskLeavesNoShortQueueFile()
{
    QSignalSpy notQueued(m_queue, &XrfResultQueue::resultNotQueued);
    qputenv("XRF_FAULT_POINT", "json-save-write");
    m_queue->addResult(makeResult(1));
    qunsetenv("XRF_FAULT_POINT");
    QCOMPARE(notQueued.count(), 1);
    QCOMPARE(notQueued.at(0).at(0).toString(), QStringLiteral("2026-03-01 09:00:01.001"));
    QCOMPARE(notQueued.at(0).at(2).value<XrfErrorInfo::XrfError>(), XrfErrorInfo::FileCreateFailed);
    QCOMPARE(queueFiles(), QStringList());
    m_queue->addResult(makeResult(2));
    m_lib.openCard();
    QTRY_COMPARE_WITH_TIMEOUT(storedCount("Q2"), 1, 5000);
    QCOMPARE(storedCount("Q1"), 0);
}

void TestQueue::actionsThatCannotRunNeverWedgeTheQueue_data()
{
    QTest::addColumn<bool>("insertToDb");
    QTest::addColumn<bool>("cloud");
    QTest::addColumn<QString>("location");
    QTest::newRow("automatic export") << true << false << "Default Folder";
    QTest::newRow("cloud asked, disabled") << true << true << "Default Folder";
    QTest::newRow("export without database") << false << false << "Default Folder";
    QTest::newRow("network folder never mounts") << true << false << "Network Folder";
}

void TestQueue::actionsThatCannotRunNeverWedgeTheQueue()
{
    QFETCH(bool, insertToDb);
    QFETCH(bool, cloud);
    QFETCH(QString, location);
    LibraryFixture::setActions(insertToDb, cloud, true, location);
    XrfSettingsManager::instance()->setGlobalSetting("cloudSettings",
                                                     QJsonObject { { "enabled", false } });
    connect(m_rm, &XrfResultManager::exportComplete, m_queue, &XrfResultQueue::onExportComplete);
    QSignalSpy full(m_queue, &XrfResultQueue::queueFullWarning);
    QSignalSpy notQueued(m_queue, &XrfResultQueue::resultNotQueued);
    m_lib.openCard();
    const int total = 300;
    for (int i = 0; i < total; ++i) {
        m_queue->addResult(makeResult(i));
        if (i % 50 == 49 && insertToDb) // a pace the instrument could keep
            QTRY_VERIFY_WITH_TIMEOUT(stored() >= i - 100, 20000);
    }
    QCOMPARE(full.count(), 0);
    QCOMPARE(notQueued.count(), 0);
    const int expected = insertToDb ? total : 0;
    QTRY_COMPARE_WITH_TIMEOUT(stored(), expected, 30000);
    if (location == QLatin1String("Network Folder"))
        QCOMPARE(queueFiles().size(), total); // stored, waiting for the folder
    else
        QTRY_VERIFY_WITH_TIMEOUT(queueFiles().isEmpty(), 10000);
}

void TestQueue::failingResultDoesNotBlockOthersAndIsStoredLater()
{
    m_lib.openCard();
    m_queue->setHandOverTimeout(300);
    QVERIFY(execSqlite(dbFile(),
                       { "CREATE TRIGGER refuse BEFORE INSERT ON analysisresult "
                         "WHEN NEW.tidName = 'bad' BEGIN SELECT RAISE(ABORT, 'x'); END" }));
    // More failing results than hand-over places, ahead of good ones.
    for (int i = 0; i < 4; ++i)
        m_queue->addResult(makeResult(i, QStringLiteral("bad")));
    for (int i = 4; i < 8; ++i)
        m_queue->addResult(makeResult(i));
    QTRY_COMPARE_WITH_TIMEOUT(queueFiles().size(), 4, 15000);
    for (int i = 4; i < 8; ++i)
        QCOMPARE(storedCount(QStringLiteral("Q%1").arg(i)), 1);

    QVERIFY(execSqlite(dbFile(), { "DROP TRIGGER refuse" }));
    QTRY_VERIFY_WITH_TIMEOUT(queueFiles().isEmpty(), 15000);
    QCOMPARE(storedCount(QStringLiteral("bad")), 4);
    QCOMPARE(distinctTimes(), 8);
}

void TestQueue::resultsWaitForTheCard()
{
    for (int i = 0; i < 5; ++i)
        m_queue->addResult(makeResult(i));
    QTest::qWait(400);
    QCOMPARE(queueFiles().size(), 5);
    for (const QString &name : queueFiles())
        QCOMPARE(readJson(m_queue->queuePath() + '/' + name).value("queuedForDb"),
                 QJsonValue(false));
    m_lib.openCard();
    QTRY_VERIFY_WITH_TIMEOUT(queueFiles().isEmpty(), 10000);
    QCOMPARE(stored(), 5);
}

void TestQueue::failedCommitKeepsTheFile()
{
    m_lib.openCard();
    QSignalSpy committed(m_rm, &XrfResultManager::resultCommitted);
    qputenv("XRF_FAULT_POINT", "commit-fail");
    m_queue->addResult(makeResult(1));
    QTest::qWait(500);
    QCOMPARE(committed.count(), 0);
    QCOMPARE(queueFiles().size(), 1);
    QCOMPARE(stored(), 0);
    qunsetenv("XRF_FAULT_POINT");
    m_queue->setHandOverTimeout(100);
    QTRY_VERIFY_WITH_TIMEOUT(queueFiles().isEmpty(), 10000);
    // A slow machine may hand it over twice within the short time-out; it is
    // stored once all the same.
    QVERIFY(committed.count() >= 1);
    QCOMPARE(stored(), 1);
}

void TestQueue::cloudUploadOutcomes()
{
    LibraryFixture::setActions(false, true, false);
    QVERIFY(QDir().mkpath(m_lib.path("home/scripts")));
    const QString script = m_lib.path("home/scripts/result_upload.py");
    QVERIFY(QFile::copy(XRF_SOURCE_DIR "/tools/cloud/result_upload.py", script));
    const QByteArray oldHome = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(m_lib.path("home")));
    QCOMPARE(XrfPlatform::instance()->cloudUploadScriptPath(), script);
    useUploadScript(QString());

    // A refusal and a response that is not JSON leave the result queued.
    for (const char *behaviour : { "refuse", "garbage", "fail" }) {
        qputenv("XRF_UPLOAD_BEHAVIOUR", behaviour);
        m_queue->addResult(makeResult(1));
        QTRY_VERIFY_WITH_TIMEOUT(QFile(m_lib.path("upload.log")).size() > 0, 5000);
        QTest::qWait(600);
        QCOMPARE(queueFiles().size(), 1);
        QVERIFY(!readJson(m_queue->queuePath() + '/' + queueFiles().first())
                         .value("sentToCloud")
                         .toBool());
        QFile::remove(m_lib.path("upload.log"));
        // Stopped first: a pass may be rewriting the file at this moment.
        const QString file = m_queue->queuePath() + '/' + queueFiles().first();
        XrfResultQueue::destroyInstance();
        QFile::remove(file);
        m_queue = m_lib.startQueue();
    }
    // A good response: sent, and with nothing else to do the file goes.
    qputenv("XRF_UPLOAD_BEHAVIOUR", "ok");
    m_queue->addResult(makeResult(2));
    QTRY_VERIFY_WITH_TIMEOUT(queueFiles().isEmpty(), 10000);
    QVERIFY(QFile(m_lib.path("upload.log")).size() > 0);
    qputenv("HOME", oldHome);
    qunsetenv("XRF_UPLOAD_BEHAVIOUR");
}

void TestQueue::hangingUploadIsStoppedAndRetried()
{
    LibraryFixture::setActions(false, true, false);
    useUploadScript(XRF_SOURCE_DIR "/tools/cloud/result_upload.py");
    qputenv("XRF_UPLOAD_BEHAVIOUR", "hang");
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("ran past 20000 ms"));
    m_queue->addResult(makeResult(3));
    QTest::qWait(2000);
    qputenv("XRF_UPLOAD_BEHAVIOUR", "ok"); // the retry finds a working cloud
    QCOMPARE(queueFiles().size(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(queueFiles().isEmpty(), 30000);
    qunsetenv("XRF_UPLOAD_BEHAVIOUR");
}

QTEST_GUILESS_MAIN(TestQueue)
#include "tst_queue.moc"
