// Faults from outside while the library runs: too little free space, a
// database file made read-only, deleted or overwritten, the card folder
// gone for a while, the queue's own disk full. Each gives its code or
// recovers, and nothing stored or queued is lost.

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QSignalSpy>
#include <QStorageInfo>
#include <QtTest>

#include "libraryfixture.h"
#include "resultmanager.h"
#include "testsupport.h"
#include "xrfresultqueue.h"
#include "xrfutils.h"

using TestSupport::LibraryFixture;
using TestSupport::querySqlite;

namespace {

const qint64 requirement = 104857600; // what every writer needs free on the card

XrfKorviResult makeResult(int index)
{
    return TestSupport::quickResult(
            QStringLiteral("F%1").arg(index),
            QDateTime(QDate(2026, 11, 3), QTime(10, 0), Qt::UTC).addMSecs(qint64(index) * 1001));
}

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void lowSpaceRefusesEveryWriterAndTheQueueWaits();
    void databaseFileSpoiledWhileRunning_data();
    void databaseFileSpoiledWhileRunning();
    void cardFolderGoesAndComesBack();
    void fullQueueDiskRefusesNewAndKeepsQueued();

private:
    QString dbFile() const { return m_lib.path("card/db/SN-F.sqlite"); }
    QStringList queueFiles() const
    {
        return QDir(m_queue->queuePath()).entryList(QDir::Files | QDir::Hidden);
    }
    int stored(int index) const
    {
        return querySqlite(dbFile(),
                           QStringLiteral("SELECT count(*) FROM analysisresult WHERE tidName='F%1'")
                                   .arg(index))
                .value(0)
                .toInt();
    }
    int storedTotal() const
    {
        return querySqlite(dbFile(), "SELECT count(*) FROM analysisresult").value(0).toInt();
    }
    bool intact() const
    {
        return querySqlite(dbFile(), "PRAGMA integrity_check").value(0).toString() == "ok";
    }

    LibraryFixture m_lib;
    XrfResultManager *m_rm = nullptr;
    XrfResultQueue *m_queue = nullptr;
    QString m_mounted;
};

void TestFaults::init()
{
    QVERIFY(m_lib.begin("SN-F"));
    QVERIFY(m_rm = m_lib.startFacade());
    m_queue = m_lib.startQueue();
    m_queue->setHandOverTimeout(200);
}

void TestFaults::cleanup()
{
    m_lib.stopLibrary();
    QFile::setPermissions(dbFile(), QFile::ReadOwner | QFile::WriteOwner);
    if (!m_mounted.isEmpty())
        QProcess::execute("umount", { m_mounted });
    m_mounted.clear();
    m_lib.end();
}

// Every entry point that writes to the card refuses with NoStorage at the
// limit; what the queue holds waits and goes on once there is room.
void TestFaults::lowSpaceRefusesEveryWriterAndTheQueueWaits()
{
    LibraryFixture::setActions(true, false, true);
    connect(m_rm, &XrfResultManager::exportComplete, m_queue, &XrfResultQueue::onExportComplete);
    m_lib.openCard();
    QVERIFY(m_lib.store(makeResult(7)) > 0);
    const QString from = QStringLiteral("2000-01-01 00:00:00.000");
    int captured = 0;
    int total = 0;
    QString status;
    QVERIFY(QDir().mkpath(m_lib.path("out")));
    QCOMPARE(m_rm->getResultsInASqlDbFromTestDateTime(from, m_lib.path("out/mini"), &captured,
                                                      &total, &status),
             XrfErrorInfo::NoError);
    QVERIFY(QFile::exists(m_lib.path("out/mini.sqlite")));
    QByteArray stream;
    for (int i : { 8, 9 })
        stream += QJsonDocument(makeResult(i).toJsonObject()).toJson(QJsonDocument::Compact);
    QVERIFY(TestSupport::writeFile(m_lib.path("out/stream.json"), stream));

    // The card fills up as soon as the first result is committed.
    QSignalSpy exported(m_rm, &XrfResultManager::exportComplete);
    QAtomicInt full;
    QMetaObject::Connection filling = connect(
            m_rm, &XrfResultManager::resultCommitted, this,
            [&full] {
                XrfUtils::setAvailableSpaceOverride(requirement);
                full.storeRelease(1);
            },
            Qt::DirectConnection);
    m_queue->addResult(makeResult(0));
    QTRY_VERIFY_WITH_TIMEOUT(full.loadAcquire(), 5000);
    disconnect(filling);
    m_queue->addResult(makeResult(1));

    const QString low = m_lib.path("low/");
    QCOMPARE(m_rm->getResultsInASqlDbFromTestDateTime(from, low + "mini", &captured, &total,
                                                      &status),
             XrfErrorInfo::NoStorage);
    QCOMPARE(m_rm->getAllResultsFromTestDateTime(from, QString(), QString(), low + "all.json",
                                                 &captured, &total, &status, 500),
             XrfErrorInfo::NoStorage);
    QCOMPARE(QDir(low).entryList(QDir::Files | QDir::Hidden), QStringList());
    QCOMPARE(m_rm->importResultsFromSqlDb(m_lib.path("out/mini.sqlite")), XrfErrorInfo::NoStorage);
    QCOMPARE(m_rm->importResultsFromJsFile(m_lib.path("out/stream.json"), 10),
             XrfErrorInfo::NoStorage);
    QCOMPARE(m_rm->doAutoExport(QStringLiteral("1")), XrfErrorInfo::NoStorage);
    QTest::qWait(600);
    QCOMPARE(exported.count(), 0);
    QCOMPARE(queueFiles().size(), 2); // the export of one, the insertion of the other
    QCOMPARE(storedTotal(), 2);

    XrfUtils::setAvailableSpaceOverride(requirement + 1);
    QTRY_VERIFY_WITH_TIMEOUT(queueFiles().isEmpty(), 10000);
    QCOMPARE(stored(1), 1);
    QCOMPARE(exported.count(), 2);
    // Read to its end.
    QCOMPARE(m_rm->importResultsFromJsFile(m_lib.path("out/stream.json"), 10),
             XrfErrorInfo::FileAccessFailed);
    QTRY_COMPARE_WITH_TIMEOUT(stored(8) + stored(9), 2, 5000);
    QCOMPARE(storedTotal(), 5);
}

void TestFaults::databaseFileSpoiledWhileRunning_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("made read-only") << "read-only";
    QTest::newRow("overwritten") << "garbage";
    QTest::newRow("deleted") << "deleted";
}

// A spoiled file takes no result and is left as it is; the results wait in
// the queue and are stored once the file is usable. A deleted file is made
// anew.
void TestFaults::databaseFileSpoiledWhileRunning()
{
    QFETCH(QString, fault);
    m_lib.openCard();
    m_queue->addResult(makeResult(0));
    QTRY_COMPARE_WITH_TIMEOUT(stored(0), 1, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(queueFiles().isEmpty(), 5000);
    XrfKorviResult back; // a host looking at results keeps a connection open
    QCOMPARE(m_rm->syncGetFullResult(1, &back), XrfErrorInfo::NoError);
    QCOMPARE(back.analysis().tidName(), QStringLiteral("F0"));
    const QByteArray good = TestSupport::readFile(dbFile());
    const QByteArray garbage(16384, 'x');

    if (fault == "read-only")
        QVERIFY(QFile::setPermissions(dbFile(), QFile::ReadOwner | QFile::ReadOther));
    else if (fault == "garbage")
        QVERIFY(TestSupport::writeFile(dbFile(), garbage));
    else
        QVERIFY(QFile::remove(dbFile()));

    QSignalSpy committed(m_rm, &XrfResultManager::resultCommitted);
    for (int i = 1; i <= 3; ++i)
        m_queue->addResult(makeResult(i));
    if (fault != "deleted") {
        QTest::qWait(800);
        QCOMPARE(committed.count(), 0);
        QCOMPARE(queueFiles().size(), 3);
        if (fault == "garbage") {
            QCOMPARE(TestSupport::readFile(dbFile()), garbage);
            // Every question asked meanwhile is answered, with the failure,
            // never as "nothing there".
            QSignalSpy done(m_rm, &XrfResultManager::operationDone);
            XrfJsonMessage latest(71, 110, { { "number", 5 } });
            XrfJsonMessage calendar(72, 104, {});
            XrfJsonMessage full(74, 117, { { "xrfString", "1" } });
            QCOMPARE(m_rm->getLatestTestIds(&latest), XrfErrorInfo::NoError);
            QCOMPARE(m_rm->getCalendar(&calendar), XrfErrorInfo::NoError);
            QCOMPARE(m_rm->getTestIds(XrfJsonMessage(73, 114, { { "date", "2026-01-01" } })),
                     XrfErrorInfo::NoError);
            QCOMPARE(m_rm->GetFullResult(&full), XrfErrorInfo::NoError);
            QTRY_COMPARE_WITH_TIMEOUT(done.count(), 4, 5000);
            for (const QList<QVariant> &answer : qAsConst(done))
                QVERIFY2(answer.at(3).value<XrfErrorInfo::XrfError>()
                                 == XrfErrorInfo::DbQueryFailed,
                         qPrintable(QString::number(answer.at(0).toInt())));
            QVERIFY(TestSupport::writeFile(dbFile(), good));
        } else {
            QCOMPARE(TestSupport::readFile(dbFile()), good);
            QVERIFY(QFile::setPermissions(dbFile(), QFile::ReadOwner | QFile::WriteOwner));
        }
    }
    QTRY_VERIFY_WITH_TIMEOUT(queueFiles().isEmpty(), 10000);
    for (int i = 1; i <= 3; ++i)
        QCOMPARE(stored(i), 1);
    QCOMPARE(stored(0), fault == "deleted" ? 0 : 1);
    QVERIFY(intact());
}

// The card folder renamed away and back behind the library's back: nothing
// is made in its place meanwhile, and the queue goes on where it was.
void TestFaults::cardFolderGoesAndComesBack()
{
    m_lib.openCard();
    m_queue->addResult(makeResult(0));
    QTRY_COMPARE_WITH_TIMEOUT(stored(0), 1, 5000);
    const QString card = m_lib.path("card");
    QVERIFY(QDir().rename(card, card + "-away"));
    for (int i = 1; i <= 3; ++i)
        m_queue->addResult(makeResult(i));
    QTest::qWait(800);
    QVERIFY(!QFileInfo::exists(card));
    QCOMPARE(queueFiles().size(), 3);
    QVERIFY(QDir().rename(card + "-away", card));
    QTRY_VERIFY_WITH_TIMEOUT(queueFiles().isEmpty(), 10000);
    for (int i = 0; i <= 3; ++i)
        QCOMPARE(stored(i), 1);
    QVERIFY(intact());
}

// The queue's folder on a small disk of its own, filled to the last byte.
void TestFaults::fullQueueDiskRefusesNewAndKeepsQueued()
{
    const QString folder = m_queue->queuePath();
    XrfResultQueue::destroyInstance();
    QVERIFY(QDir().mkpath(folder));
    if (QProcess::execute("mount", { "-t", "tmpfs", "-o", "size=2m", "tmpfs", folder }) != 0)
        QSKIP("A small disk needs mount rights");
    m_mounted = folder;
    m_queue = m_lib.startQueue();
    m_queue->setHandOverTimeout(200);

    for (int i = 0; i < 3; ++i)
        m_queue->addResult(makeResult(i)); // no card yet: they wait
    QCOMPARE(queueFiles().size(), 3);
    {
        QFile block(folder + "/.filler");
        QVERIFY(block.open(QIODevice::WriteOnly));
        const QByteArray chunk(4096, '\0');
        while (block.write(chunk) == chunk.size() && block.flush()) { }
    }
    QCOMPARE(QStorageInfo(folder).bytesAvailable(), 0);

    QSignalSpy notQueued(m_queue, &XrfResultQueue::resultNotQueued);
    m_queue->addResult(makeResult(3));
    QCOMPARE(notQueued.count(), 1);
    QCOMPARE(notQueued.at(0).at(2).value<XrfErrorInfo::XrfError>(), XrfErrorInfo::NoStorage);

    // Marking a queue file fails on a full disk; the results are stored all
    // the same, once each.
    m_lib.openCard();
    QTRY_VERIFY_WITH_TIMEOUT(queueFiles() == QStringList { ".filler" }, 10000);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(stored(i), 1);
    QCOMPARE(stored(3), 0);

    QVERIFY(QFile::remove(folder + "/.filler"));
    m_queue->addResult(makeResult(4));
    QTRY_COMPARE_WITH_TIMEOUT(stored(4), 1, 5000);
    QCOMPARE(storedTotal(), 4);
}

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
