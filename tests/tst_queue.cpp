// The result queue with the real library behind it: a queued result reaches
// the database once and its file goes once its actions are done; capacity;
// damaged queue files; results that fail or find no card; the cloud upload
// through a stand-in script.

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "resultmanager.h"
#include "testsupport.h"
#include "xrfmethodmanager.h"
#include "xrfplatform.h"
#include "xrfresultqueue.h"
#include "xrfsettingsmanager.h"
#include "xrfutils.h"

using TestSupport::execSqlite;
using TestSupport::querySqlite;

namespace {

XrfKorviResult makeResult(int index, const QString &tidName = QString())
{
    XrfKorviResult r;
    r.analysis().setTestDateTime(
            QDateTime(QDate(2026, 3, 1), QTime(9, 0), Qt::UTC).addMSecs(qint64(index) * 1001));
    r.analysis().setTidName(tidName.isEmpty() ? QStringLiteral("Q%1").arg(index) : tidName);
    XrfChemistryResult fe;
    fe.setElementName(QStringLiteral("Fe"));
    fe.setConcentration(70.5f);
    r.chemistry().append(fe);
    return r;
}

} // namespace

class TestQueue : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

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
    void setActions(bool db, bool cloud, bool autoExport);
    void openCard();
    void useUploadFilesInTestFolder();
    QStringList queueFiles() const;
    QString dbFile() const { return m_dir->filePath("card/db/SN-Q.sqlite"); }
    int storedCount(const QString &tidName) const
    {
        return querySqlite(dbFile(),
                           "SELECT count(*) FROM analysisresult WHERE tidName = '"
                                   + QString(tidName).replace("'", "''") + "'")
                .value(0)
                .toInt();
    }

    QTemporaryDir *m_dir = nullptr;
    XrfResultManager *m_rm = nullptr;
    XrfResultQueue *m_queue = nullptr;
    QString m_oldCwd;
};

void TestQueue::init()
{
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
    m_oldCwd = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->path()));
    TestSupport::configureInstrument(QStringLiteral("SN-Q"));
    setActions(true, false, false);
    qunsetenv("XRF_FAULT_POINT");

    m_rm = XrfResultManager::instance();
    QCOMPARE(m_rm->init(), XrfErrorInfo::NoError);
    m_queue = XrfResultQueue::instance();
    m_queue->setCheckInterval(50);
    connect(m_rm, &XrfResultManager::resultCommitted, m_queue,
            &XrfResultQueue::onResultCommittedToDb);
}

void TestQueue::cleanup()
{
    qunsetenv("XRF_FAULT_POINT");
    XrfResultQueue::destroyInstance();
    if (XrfResultManager::m_pInstance)
        XrfResultManager::instance()->Deinit();
    XrfPlatform::instance()->reset();
    XrfMethodManager::instance()->clear();
    QDir::setCurrent(m_oldCwd);
    delete m_dir;
}

void TestQueue::setActions(bool db, bool cloud, bool autoExport)
{
    XrfSettingsManager *settings = XrfSettingsManager::instance();
    settings->setGlobalSetting(QStringLiteral("resultActions"),
                               QJsonObject { { "insertToDb", db }, { "uploadToCloud", cloud } });
    settings->setGlobalSetting(QStringLiteral("cloudSettings"),
                               QJsonObject { { "enabled", cloud } });
    XrfMethodManager::instance()->setExportSettings(
            QJsonObject { { "export",
                            QJsonObject { { "autoExport", autoExport },
                                          { "selectedLocation", "Default Folder" } } } });
}

void TestQueue::useUploadFilesInTestFolder()
{
    XrfPlatform *platform = XrfPlatform::instance();
    platform->setCloudUploadInputPath(m_dir->filePath("result_to_upload.json"));
    platform->setCloudUploadResponsePath(m_dir->filePath("response.json"));
    platform->setCloudUploadLogPath(m_dir->filePath("upload.log"));
    platform->setCloudUploadWorkingDirectory(m_dir->path());
}

void TestQueue::openCard()
{
    m_rm->setPaths(m_dir->filePath("profile/"), m_dir->filePath("card"));
}

QStringList TestQueue::queueFiles() const
{
    return QDir(m_queue->queuePath()).entryList(QDir::Files, QDir::Name);
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
    setActions(true, cloud, autoExport);
    if (cloud) {
        QVERIFY(QDir().mkpath(m_dir->filePath("home/scripts")));
        QVERIFY(QFile::copy(XRF_SOURCE_DIR "/tools/cloud/result_upload.py",
                            m_dir->filePath("home/scripts/result_upload.py")));
        XrfPlatform::instance()->setCloudUploadScriptPath(
                m_dir->filePath("home/scripts/result_upload.py"));
        useUploadFilesInTestFolder();
    }
    openCard();

    // A stand-in for the export side: it reports every requested export done.
    QStringList exportsAsked;
    if (autoExport) {
        connect(m_rm, &XrfResultManager::operationDone, this,
                [&](int command, int, const QJsonDocument &, XrfErrorInfo::XrfError) {
                    if (command == 108)
                        exportsAsked << QStringLiteral("asked");
                });
    }
    const XrfKorviResult r = makeResult(1, QStringLiteral("A/B: O'Brien?"));
    XrfKorviResult withInfo = r;
    withInfo.testInfo().append(
            QJsonObject { { "key", "Lot" }, { "value", "'; DROP TABLE x; --  Ærø" } });
    m_queue->addResult(withInfo);
    QCOMPARE(queueFiles().size(), 1);
    QVERIFY(queueFiles().first().contains(QStringLiteral("A_B_ O'Brien_")));

    if (autoExport) {
        QTRY_VERIFY_WITH_TIMEOUT(!exportsAsked.isEmpty(), 5000);
        QCOMPARE(queueFiles().size(), 1); // waits for the export
        m_queue->onExportComplete(1, XrfErrorInfo::NoError);
    }
    QTRY_VERIFY_WITH_TIMEOUT(queueFiles().isEmpty(), 10000);
    QCOMPARE(storedCount(QStringLiteral("A/B: O'Brien?")), 1);
    XrfKorviResult back;
    m_rm->syncGetFullResult(1, &back);
    QCOMPARE(back.analysis().tidName(), QStringLiteral("A/B: O'Brien?"));
    QCOMPARE(back.testInfo().value(0).value("value").toString(),
             QStringLiteral("'; DROP TABLE x; --  Ærø"));
    if (cloud)
        QVERIFY(QFile(m_dir->filePath("upload.log")).size() > 0);
    QTest::qWait(200); // a later pass must not store it again
    QCOMPARE(querySqlite(dbFile(), "SELECT count(*) FROM analysisresult").value(0).toInt(), 1);
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

    XrfKorviResult r = makeResult(0, QStringLiteral("S[1]*"));
    r.analysis().setTestDateTime(when);
    m_queue->addResult(r);
    XrfKorviResult found;
    QVERIFY(m_queue->fetchQueuedResult(QStringLiteral("2024-08-26"), QStringLiteral("S[1]*"),
                                       &found));
    QCOMPARE(found.analysis().testDateTime(), when);
    QVERIFY(!m_queue->fetchQueuedResult(QStringLiteral("2024-08-27"), QStringLiteral("S[1]*"),
                                        &found));
    QVERIFY(!m_queue->fetchQueuedResult(QStringLiteral("2024-08-26"), QStringLiteral("S"), &found));
    // Names that become one file name are still told apart.
    XrfKorviResult other = makeResult(0, QStringLiteral("A?B"));
    other.analysis().setTestDateTime(when.addSecs(30));
    m_queue->addResult(other);
    QVERIFY(!m_queue->fetchQueuedResult(QStringLiteral("2024-08-26"), QStringLiteral("A:B"),
                                        &found));
    QVERIFY(m_queue->fetchQueuedResult(QStringLiteral("2024-08-26"), QStringLiteral("A?B"),
                                       &found));
    r.analysis().setTestDateTime(when.addSecs(60));
    m_queue->addResult(r);
    QVERIFY(!m_queue->fetchQueuedResult(QStringLiteral("2024-08-26"), QStringLiteral("S[1]*"),
                                        &found));
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

    openCard();
    m_queue->unPauseResultQueue();
    QTRY_VERIFY_WITH_TIMEOUT(queueFiles().isEmpty(), 60000);
    QCOMPARE(querySqlite(dbFile(), "SELECT count(DISTINCT testDateTime) FROM analysisresult")
                     .value(0)
                     .toInt(),
             200);
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
    const QString queueDir = m_dir->filePath("resultQueue");
    for (auto it = damaged.begin(); it != damaged.end(); ++it) {
        QFile f(queueDir + '/' + it.key());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(it.value());
    }
    QFile leftover(queueDir + "/20260301090000006_Q6_7.json.Ab3xYz");
    QVERIFY(leftover.open(QIODevice::WriteOnly));
    leftover.write("{\"queuedF");
    leftover.close();

    // While the files cannot be read at all, they are only waited for.
    qputenv("XRF_FAULT_POINT", "queue-read");
    m_queue = XrfResultQueue::instance();
    m_queue->setCheckInterval(50);
    connect(m_rm, &XrfResultManager::resultCommitted, m_queue,
            &XrfResultQueue::onResultCommittedToDb);
    QSignalSpy setAside(m_queue, &XrfResultQueue::resultSetAside);
    openCard();
    QTest::qWait(400);
    QCOMPARE(queueFiles().size(), damaged.size() + 1);
    QVERIFY(!QFileInfo::exists(leftover.fileName()));
    QCOMPARE(setAside.count(), 0);
    QCOMPARE(storedCount("report.json.v2"), 0);

    qunsetenv("XRF_FAULT_POINT");
    QTRY_VERIFY_WITH_TIMEOUT(queueFiles().isEmpty(), 10000);
    QCOMPARE(storedCount("report.json.v2"), 1);
    QCOMPARE(setAside.count(), damaged.size());
    for (auto it = damaged.begin(); it != damaged.end(); ++it) {
        QFile kept(queueDir + "/failed/" + it.key());
        QVERIFY2(kept.open(QIODevice::ReadOnly), qPrintable(it.key()));
        QCOMPARE(kept.readAll(), it.value());
    }
}

void TestQueue::resultsThatCanNeverBeStoredDoNotCycle()
{
    openCard();
    QSignalSpy notQueued(m_queue, &XrfResultQueue::resultNotQueued);
    QSignalSpy setAside(m_queue, &XrfResultQueue::resultSetAside);

    // Non-finite numbers are stored and read back as themselves.
    XrfKorviResult odd = makeResult(1, QStringLiteral("nan"));
    odd.chemistry()[0].setConcentration(qQNaN());
    odd.chemistry()[0].setError(qInf());
    XrfChemistryResult ni;
    ni.setElementName(QStringLiteral("Ni"));
    ni.setConcentration(qQNaN());
    odd.chemistry().append(ni);
    m_queue->addResult(odd);
    XrfKorviResult cal = makeResult(2, QStringLiteral("cal"));
    cal.analysis().setTestType(QStringLiteral("CALCHECK"));
    cal.setHasCalCheck(true);
    cal.calCheck()->setSlope(-qInf());
    cal.calCheck()->setRate(qQNaN());
    m_queue->addResult(cal);
    QTRY_VERIFY_WITH_TIMEOUT(queueFiles().isEmpty(), 5000);
    QCOMPARE(storedCount("nan") + storedCount("cal"), 2);
    XrfKorviResult back;
    m_rm->syncGetFullResult(m_rm->storedTestId("2026-03-01 09:00:01.001", "nan"), &back);
    QCOMPARE(back.chemistry().size(), 2);
    QVERIFY(qIsNaN(back.chemistry().at(0).concentration()));
    QVERIFY(qIsInf(back.chemistry().at(0).error()));
    QVERIFY(qIsNaN(back.chemistry().at(1).concentration()));
    XrfKorviResult calBack;
    m_rm->syncGetFullResult(m_rm->storedTestId("2026-03-01 09:00:02.002", "cal"), &calBack);
    QVERIFY(calBack.hasCalCheck());
    QVERIFY(qIsInf(calBack.calCheck()->slope()) && calBack.calCheck()->slope() < 0);

    // Two grade matches with one key would fail every try: refused at once.
    XrfKorviResult twice = makeResult(4, QStringLiteral("twice"));
    XrfGradeMatch grade;
    grade.setGradeName(QStringLiteral("316L"));
    twice.gradeMatch() << grade << grade;
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
    QJsonObject file;
    QCOMPARE(XrfUtils::openFileJsonFile(aside, &file), XrfErrorInfo::NoError);
    QCOMPARE(file.value("result").toObject().value("analysis").toObject().value("tidName"),
             QJsonValue("poison"));
    QTRY_VERIFY_WITH_TIMEOUT(queueFiles().isEmpty(), 10000);
    QCOMPARE(storedCount("poison"), 0);
}

void TestQueue::resultsSharingADateTimeAreAllStored()
{
    // Eight names at one millisecond, two of which share a file-safe name.
    const QStringList names { "A:B", "A?B", "c", "d", "e", "f", "g", "h" };
    for (const QString &name : names) {
        XrfKorviResult r = makeResult(1, name);
        m_queue->addResult(r);
    }
    // Two undated results with one name are two results, each with a time.
    XrfKorviResult undated = makeResult(0, QStringLiteral("avg"));
    undated.analysis().setTestDateTime(QDateTime());
    undated.analysis().setTestType(QStringLiteral("AVERAGED"));
    m_queue->addResult(undated);
    m_queue->addResult(undated);
    QCOMPARE(queueFiles().size(), 10);
    openCard();
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
    QJsonObject file;
    QCOMPARE(XrfUtils::openFileJsonFile(m_queue->queuePath() + '/' + queueFiles().first(), &file),
             XrfErrorInfo::NoError);
    XrfKorviResult queued;
    queued.fromJsonObject(file.value("result").toObject());
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
    openCard();
    QTRY_COMPARE_WITH_TIMEOUT(storedCount("Q2"), 1, 5000);
    QCOMPARE(storedCount("Q1"), 0);
}

void TestQueue::actionsThatCannotRunNeverWedgeTheQueue_data()
{
    QTest::addColumn<bool>("insertToDb");
    QTest::addColumn<bool>("cloud");
    QTest::addColumn<bool>("cloudEnabled");
    QTest::addColumn<QString>("location");
    QTest::newRow("automatic export") << true << false << false << "Default Folder";
    QTest::newRow("cloud asked, disabled") << true << true << false << "Default Folder";
    QTest::newRow("export without database") << false << false << false << "Default Folder";
    QTest::newRow("network folder never mounts") << true << false << false << "Network Folder";
}

void TestQueue::actionsThatCannotRunNeverWedgeTheQueue()
{
    QFETCH(bool, insertToDb);
    QFETCH(bool, cloud);
    QFETCH(bool, cloudEnabled);
    QFETCH(QString, location);
    XrfSettingsManager::instance()->setGlobalSetting(
            QStringLiteral("resultActions"),
            QJsonObject { { "insertToDb", insertToDb }, { "uploadToCloud", cloud } });
    XrfSettingsManager::instance()->setGlobalSetting(QStringLiteral("cloudSettings"),
                                                     QJsonObject { { "enabled", cloudEnabled } });
    XrfMethodManager::instance()->setExportSettings(QJsonObject {
            { "export",
              QJsonObject { { "autoExport", true }, { "selectedLocation", location } } } });
    connect(m_rm, &XrfResultManager::exportComplete, m_queue, &XrfResultQueue::onExportComplete);
    QSignalSpy full(m_queue, &XrfResultQueue::queueFullWarning);
    QSignalSpy notQueued(m_queue, &XrfResultQueue::resultNotQueued);
    openCard();
    const int total = 300;
    for (int i = 0; i < total; ++i) {
        m_queue->addResult(makeResult(i));
        if (i % 50 == 49 && insertToDb) // a pace the instrument could keep
            QTRY_VERIFY_WITH_TIMEOUT(
                    querySqlite(dbFile(), "SELECT count(*) FROM analysisresult").value(0).toInt()
                            >= i - 100,
                    20000);
    }
    QCOMPARE(full.count(), 0);
    QCOMPARE(notQueued.count(), 0);
    const int expected = insertToDb ? total : 0;
    QTRY_COMPARE_WITH_TIMEOUT(
            querySqlite(dbFile(), "SELECT count(*) FROM analysisresult").value(0).toInt(), expected,
            30000);
    if (location == QLatin1String("Network Folder"))
        QCOMPARE(queueFiles().size(), total); // stored, waiting for the folder
    else
        QTRY_VERIFY_WITH_TIMEOUT(queueFiles().isEmpty(), 10000);
}

void TestQueue::failingResultDoesNotBlockOthersAndIsStoredLater()
{
    openCard();
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
    QCOMPARE(querySqlite(dbFile(), "SELECT count(DISTINCT testDateTime) FROM analysisresult")
                     .value(0)
                     .toInt(),
             8);
}

void TestQueue::resultsWaitForTheCard()
{
    for (int i = 0; i < 5; ++i)
        m_queue->addResult(makeResult(i));
    QTest::qWait(400);
    QCOMPARE(queueFiles().size(), 5);
    for (const QString &name : queueFiles()) {
        QJsonObject file;
        QCOMPARE(XrfUtils::openFileJsonFile(m_queue->queuePath() + '/' + name, &file),
                 XrfErrorInfo::NoError);
        QCOMPARE(file.value("queuedForDb").toBool(), false);
    }
    openCard();
    QTRY_VERIFY_WITH_TIMEOUT(queueFiles().isEmpty(), 10000);
    QCOMPARE(querySqlite(dbFile(), "SELECT count(*) FROM analysisresult").value(0).toInt(), 5);
}

void TestQueue::failedCommitKeepsTheFile()
{
    openCard();
    QSignalSpy committed(m_rm, &XrfResultManager::resultCommitted);
    qputenv("XRF_FAULT_POINT", "commit-fail");
    m_queue->addResult(makeResult(1));
    QTest::qWait(500);
    QCOMPARE(committed.count(), 0);
    QCOMPARE(queueFiles().size(), 1);
    QCOMPARE(querySqlite(dbFile(), "SELECT count(*) FROM analysisresult").value(0).toInt(), 0);
    qunsetenv("XRF_FAULT_POINT");
    m_queue->setHandOverTimeout(100);
    QTRY_VERIFY_WITH_TIMEOUT(queueFiles().isEmpty(), 10000);
    // A slow machine may hand it over twice within the short time-out; it is
    // stored once all the same.
    QVERIFY(committed.count() >= 1);
    QCOMPARE(querySqlite(dbFile(), "SELECT count(*) FROM analysisresult").value(0).toInt(), 1);
}

void TestQueue::cloudUploadOutcomes()
{
    setActions(false, true, false);
    QVERIFY(QDir().mkpath(m_dir->filePath("home/scripts")));
    const QString script = m_dir->filePath("home/scripts/result_upload.py");
    QVERIFY(QFile::copy(XRF_SOURCE_DIR "/tools/cloud/result_upload.py", script));
    const QByteArray oldHome = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(m_dir->filePath("home")));
    QCOMPARE(XrfPlatform::instance()->cloudUploadScriptPath(), script);
    useUploadFilesInTestFolder();

    auto fileFlags = [this] {
        QJsonObject file;
        const QStringList files = queueFiles();
        if (!files.isEmpty())
            XrfUtils::openFileJsonFile(m_queue->queuePath() + '/' + files.first(), &file);
        return file;
    };
    // A refusal and a response that is not JSON leave the result queued.
    for (const char *behaviour : { "refuse", "garbage", "fail" }) {
        qputenv("XRF_UPLOAD_BEHAVIOUR", behaviour);
        m_queue->addResult(makeResult(1));
        QTRY_VERIFY_WITH_TIMEOUT(QFile(m_dir->filePath("upload.log")).size() > 0, 5000);
        QTest::qWait(600);
        QCOMPARE(queueFiles().size(), 1);
        QCOMPARE(fileFlags().value("sentToCloud").toBool(), false);
        QFile::remove(m_dir->filePath("upload.log"));
        m_queue->pauseResultQueue();
        QFile::remove(m_queue->queuePath() + '/' + queueFiles().first());
        XrfResultQueue::destroyInstance();
        m_queue = XrfResultQueue::instance();
        m_queue->setCheckInterval(50);
    }
    // A good response: sent, and with nothing else to do the file goes.
    qputenv("XRF_UPLOAD_BEHAVIOUR", "ok");
    m_queue->addResult(makeResult(2));
    QTRY_VERIFY_WITH_TIMEOUT(queueFiles().isEmpty(), 10000);
    QVERIFY(QFile(m_dir->filePath("upload.log")).size() > 0);
    qputenv("HOME", oldHome);
    qunsetenv("XRF_UPLOAD_BEHAVIOUR");
}

void TestQueue::hangingUploadIsStoppedAndRetried()
{
    setActions(false, true, false);
    XrfPlatform::instance()->setCloudUploadScriptPath(XRF_SOURCE_DIR
                                                      "/tools/cloud/result_upload.py");
    useUploadFilesInTestFolder();
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
