// The facade and its worker thread, seen from a host: start-up, the request
// checks, blocking requests and shutdown, with the real worker thread and a
// real database file in a temporary folder.

#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include "libraryfixture.h"
#include "resultmanager.h"
#include "resultmanagerimpl.h"
#include "xrfjsonmessage.h"
#include "xrfkorviresult.h"
#include "xrfutils.h"

class TestResultManager : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup() { m_lib.end(); }

    void startEmitsDbInfoOnceAndNamesTheWorkerThread();
    void deinitJoinsTheThreadAndASecondCycleWorks();
    void guardedRequestsWithoutDatabaseAreRefusedAndSendNothing();
    void unguardedRequestsStillTravel();
    void storageCheckAtExactlyTheRequirementRefusesInsertion();
    void instrumentDataPathOfSdCardOpensAndClosesTheDatabase();

private:
    TestSupport::LibraryFixture m_lib;
};

void TestResultManager::init()
{
    QVERIFY(m_lib.begin("SN4711", "Ag"));
}

void TestResultManager::startEmitsDbInfoOnceAndNamesTheWorkerThread()
{
    XrfResultManager *rm = XrfResultManager::instance();
    QSignalSpy dbInfo(rm, &XrfResultManager::dbInfo);
    QCOMPARE(rm->init(), XrfErrorInfo::NoError);
    QCOMPARE(dbInfo.count(), 1);
    const QJsonObject info = dbInfo.at(0).at(0).value<QJsonObject>();
    QCOMPARE(info, QJsonObject({ { "dbVersion", "6.3" } }));

    // A signal the database object emits from its own thread tells us
    // which thread that is.
    m_lib.openCard();
    QString threadName;
    QThread *emitter = nullptr;
    connect(
            rm, &XrfResultManager::resultInserted, rm,
            [&](XrfErrorInfo::XrfError) {
                threadName = QThread::currentThread()->objectName();
                emitter = QThread::currentThread();
            },
            Qt::DirectConnection);
    QCOMPARE(rm->addTestResult(XrfKorviResult()), XrfErrorInfo::NoError);
    QTRY_VERIFY(emitter != nullptr);
    QCOMPARE(threadName, QStringLiteral("Results Manager Thread"));
    QVERIFY(emitter != QThread::currentThread());
}

void TestResultManager::deinitJoinsTheThreadAndASecondCycleWorks()
{
    XrfResultManager *rm = m_lib.startFacade();
    QVERIFY(rm);
    m_lib.openCard();
    QThread *worker = XrfResultManager::m_pImpl->workerThread();
    QVERIFY(worker->isRunning());
    bool finished = false;
    connect(
            worker, &QThread::finished, worker, [&finished] { finished = true; },
            Qt::DirectConnection);

    QCOMPARE(rm->Deinit(), XrfErrorInfo::NoError);
    QVERIFY(finished);
    QVERIFY(XrfResultManager::m_pInstance == nullptr);
    QVERIFY(XrfResultManager::m_pImpl == nullptr);

    // The database was let go, so a new cycle can open the same file; the
    // blocking requests fill their out parameters.
    rm = m_lib.startFacade();
    QVERIFY(rm);
    m_lib.openCard();
    QVERIFY(m_lib.databaseOpen());
    int tid = -7;
    QCOMPARE(rm->getLastTestID(&tid), XrfErrorInfo::NoError);
    QCOMPARE(tid, 0);
    QString last = QStringLiteral("stale");
    QCOMPARE(rm->getLastTestDateTime(&last), XrfErrorInfo::NoError);
    QCOMPARE(last, QString());
    QCOMPARE(rm->syncGetFullResult(5, nullptr), XrfErrorInfo::InvalidArgument);
}

void TestResultManager::guardedRequestsWithoutDatabaseAreRefusedAndSendNothing()
{
    XrfResultManager *rm = m_lib.startFacade();
    QVERIFY(rm);
    QSignalSpy done(rm, &XrfResultManager::operationDone);
    QSignalSpy inserted(rm, &XrfResultManager::resultInserted);

    // A request that would be served if a card were there.
    const QByteArray params
            = R"({"xrfString": "1,2", "tidName": "avg", "number": 3, "date": "2024-01-01"})";
    XrfJsonMessage msg(9, 119, QJsonDocument::fromJson(params).object());
    const XrfErrorInfo::XrfError noCard = XrfErrorInfo::NoSdCard;
    QCOMPARE(rm->getCalendar(&msg), noCard);
    QCOMPARE(rm->getTestIds(msg), noCard);
    QCOMPARE(rm->getLatestTestIds(&msg), noCard);
    QCOMPARE(rm->deleteTestResults(msg), noCard);
    QCOMPARE(rm->deleteTestResultsByDate(msg), noCard);
    QCOMPARE(rm->deleteTestResultsWithOption(msg), noCard);
    QCOMPARE(rm->editTestInfo(&msg), noCard);
    QCOMPARE(rm->AddAveragedResult(msg), noCard);
    QCOMPARE(rm->createAverageResultByDate(&msg), noCard);
    QCOMPARE(rm->exportResultsWithOption(&msg), noCard);
    QCOMPARE(rm->testIdExists(1), false);
    QCOMPARE(rm->addTestResult(XrfKorviResult()), noCard);

    // addTestResult alone reports its refusal by signal, at once.
    QCOMPARE(inserted.count(), 1);
    QCOMPARE(inserted.at(0).at(0).value<XrfErrorInfo::XrfError>(), noCard);
    // Anything that had reached the database object would be answered.
    QTest::qWait(300);
    QCOMPARE(done.count(), 0);
    QCOMPARE(inserted.count(), 1);
}

void TestResultManager::unguardedRequestsStillTravel()
{
    // GetFullResult and getImage have no checks: they reach the database
    // object even without a card, and it answers through operationDone.
    XrfResultManager *rm = m_lib.startFacade();
    QVERIFY(rm);
    QSignalSpy done(rm, &XrfResultManager::operationDone);
    XrfJsonMessage msg(21, 118, QJsonObject { { "testIDs", QJsonArray { 3, 4 } } });
    QCOMPARE(rm->GetFullResult(&msg), XrfErrorInfo::NoError);
    QCOMPARE(rm->getImage(QStringLiteral("x.jpeg"), 33), XrfErrorInfo::NoError);
    QTRY_COMPARE(done.count(), 2);
    QCOMPARE(done.at(0).at(0).toInt(), 118);
    QCOMPARE(done.at(0).at(1).toInt(), 21);
    QCOMPARE(done.at(1).at(0).toInt(), 115);
    QCOMPARE(done.at(1).at(1).toInt(), 33);
}

void TestResultManager::storageCheckAtExactlyTheRequirementRefusesInsertion()
{
    XrfResultManager *rm = m_lib.startFacade();
    QVERIFY(rm);
    m_lib.openCard();
    QVERIFY(m_lib.databaseOpen());
    QSignalSpy inserted(rm, &XrfResultManager::resultInserted);

    XrfUtils::setAvailableSpaceOverride(104857600);
    QCOMPARE(rm->addTestResult(XrfKorviResult()), XrfErrorInfo::NoStorage);
    QCOMPARE(inserted.count(), 1);
    QCOMPARE(inserted.at(0).at(0).value<XrfErrorInfo::XrfError>(), XrfErrorInfo::NoStorage);
    XrfJsonMessage msg;
    QCOMPARE(rm->editTestInfo(&msg), XrfErrorInfo::NoStorage);
    QCOMPARE(rm->createAverageResultByDate(&msg), XrfErrorInfo::NoStorage);
    QCOMPARE(rm->exportResultsWithOption(&msg), XrfErrorInfo::NoStorage);
    // Reading is not a storage operation.
    QCOMPARE(rm->getCalendar(&msg), XrfErrorInfo::NoError);

    // One byte more is enough.
    XrfUtils::setAvailableSpaceOverride(104857601);
    QCOMPARE(rm->addTestResult(XrfKorviResult()), XrfErrorInfo::NoError);
}

void TestResultManager::instrumentDataPathOfSdCardOpensAndClosesTheDatabase()
{
    XrfResultManager *rm = m_lib.startFacade();
    QVERIFY(rm);
    rm->onProfilePathAvailable(m_lib.path("profile/"));
    rm->onInstrumentDataPathAvailable(QStringLiteral("Usb"), true, m_lib.path("card/"));
    QVERIFY(!m_lib.databaseOpen());
    rm->onInstrumentDataPathAvailable(QStringLiteral("SdCard"), true, m_lib.path("card/"));
    QVERIFY(m_lib.databaseOpen());
    QVERIFY(QFileInfo::exists(m_lib.path("card/instrumentdata/db/SN4711.sqlite")));
    rm->onInstrumentDataPathAvailable(QStringLiteral("SdCard"), false, m_lib.path("card/"));
    QVERIFY(!m_lib.databaseOpen());
}

QTEST_GUILESS_MAIN(TestResultManager)
#include "tst_resultmanager.moc"
