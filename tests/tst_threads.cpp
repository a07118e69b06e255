// The three threads never wait on each other in a circle. Each blocking call
// runs under a watchdog: a call that has not returned within its time aborts
// the process with the case's name, so a deadlock fails at once instead of
// hanging until the CTest time-out.
//
// Paths: answers to the main thread pending while main waits on the queue
// (GetFullResult then addResult); a blocking request from a resultCommitted
// slot while exports are answered; the queue destroyed while the worker is
// busy answering; the facade shut down while the queue hands results over;
// addResult and the blocking reads while the worker runs a long import.

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "libraryfixture.h"
#include "resultmanager.h"
#include "testsupport.h"
#include "xrfresultqueue.h"

using TestSupport::querySqlite;

namespace {

char s_watched[256];

extern "C" void overrun(int)
{
    const char prefix[] = "WATCHDOG: ";
    [[maybe_unused]] const bool told = ::write(STDERR_FILENO, prefix, sizeof prefix - 1) >= 0
            && ::write(STDERR_FILENO, s_watched, std::strlen(s_watched)) >= 0;
    std::abort();
}

// Watches the enclosing scope with the alarm clock. Arming replaces the
// previous call: only one call at a time is watched.
struct Watched
{
    explicit Watched(const QByteArray &what, int msecs = 5000)
    {
        const QByteArray text = what + " did not return within " + QByteArray::number(msecs)
                + " ms - deadlock?\n";
        qstrncpy(s_watched, text.constData(), sizeof s_watched);
        std::signal(SIGALRM, overrun);
        alarm(unsigned((msecs + 999) / 1000));
    }
    ~Watched() { alarm(0); }
};

QByteArray numbered(const char *what, int n)
{
    return what + QByteArray::number(n);
}

XrfKorviResult makeResult(int index)
{
    return TestSupport::quickResult(
            QStringLiteral("T%1").arg(index),
            QDateTime(QDate(2026, 4, 1), QTime(8, 0), Qt::UTC).addMSecs(qint64(index) * 1001));
}

XrfJsonMessage fullResultRequest(int requestId, int testId)
{
    return XrfJsonMessage(requestId, 117, QJsonObject { { "testIDs", QJsonArray { testId } } });
}

} // namespace

class TestThreads : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void answersPendingWhileMainAddsResults();
    void blockingRequestFromCommitSlotWhileExporting();
    void queueDestroyedWhileWorkerAnswers();
    void facadeShutDownWhileQueueHandsOverLosesNothing_data();
    void facadeShutDownWhileQueueHandsOverLosesNothing();
    void secondInitDoesNotAnswerTwice();
    void addResultReturnsWhileTheWorkerImports();

private:
    void startLibrary();
    // Queues result 0 and waits until it is stored; its test id.
    int storeFirst();
    QStringList queueFiles() const
    {
        return QDir(m_lib.path("resultQueue")).entryList({ "*_*.json" }, QDir::Files);
    }
    QSet<QString> storedNames() const;
    int storedRows() const
    {
        return querySqlite(m_lib.path("card/db/SN-T.sqlite"), "SELECT count(*) FROM analysisresult")
                .value(0, -1)
                .toInt();
    }
    // Results 0..count-1 that are neither stored nor queued.
    QStringList lost(int count) const;

    TestSupport::LibraryFixture m_lib;
    // Names in the answers, by request id; a request answered twice shows
    // up twice. An error answer gives an empty name.
    QHash<int, QStringList> m_answers;
};

void TestThreads::init()
{
    QVERIFY(m_lib.begin("SN-T"));
    m_answers.clear();
    startLibrary();
}

void TestThreads::cleanup()
{
    Watched w("cleanup: queue destroyed, then the facade");
    m_lib.end();
}

void TestThreads::startLibrary()
{
    QVERIFY(m_lib.startFacade());
    connect(m_lib.rm, &XrfResultManager::operationDone, this,
            [this](int, int requestId, const QJsonDocument &answer, XrfErrorInfo::XrfError code) {
                XrfKorviResult result;
                result.fromJsonObject(answer.object().value("testResult").toObject());
                m_answers[requestId] << (code == XrfErrorInfo::NoError ? result.analysis().tidName()
                                                                       : QString());
            });
    {
        Watched w("setPaths");
        m_lib.openCard();
    }
    m_lib.startQueue(10, true);
}

int TestThreads::storeFirst()
{
    const XrfKorviResult r = makeResult(0);
    {
        Watched w("storeFirst: addResult");
        m_lib.queue->addResult(r);
    }
    {
        Watched w("storeFirst: waiting for the queue to empty", 8000);
        if (!QTest::qWaitFor([&] { return queueFiles().isEmpty(); }, 5000))
            return -1;
    }
    Watched w("storeFirst: storedTestId");
    return m_lib.rm->storedTestId(r.analysis().dateTimeString(), r.analysis().tidName());
}

QSet<QString> TestThreads::storedNames() const
{
    QSet<QString> names;
    for (const QVariant &v :
         querySqlite(m_lib.path("card/db/SN-T.sqlite"), "SELECT tidName FROM analysisresult"))
        names.insert(v.toString());
    return names;
}

QStringList TestThreads::lost(int count) const
{
    const QSet<QString> names = storedNames();
    const QString files = queueFiles().join('/');
    QStringList missing;
    for (int i = 0; i < count; ++i) {
        const QString name = QStringLiteral("T%1").arg(i);
        if (!names.contains(name) && !files.contains('_' + name + '_'))
            missing << name;
    }
    return missing;
}

// Main waits on the queue thread in addResult while answers to main are
// pending; the queue thread meanwhile asks the worker whether its hand-overs
// are stored. If the worker waited for main to take an answer, all three
// would wait for ever.
void TestThreads::answersPendingWhileMainAddsResults()
{
    const int stored = storeFirst();
    QVERIFY(stored > 0);
    const int rounds = 50;
    for (int i = 1; i <= rounds; ++i) {
        XrfJsonMessage request = fullResultRequest(i, stored);
        {
            Watched w(numbered("case a: GetFullResult round ", i));
            QCOMPARE(m_lib.rm->GetFullResult(&request), XrfErrorInfo::NoError);
        }
        Watched w(numbered("case a: addResult after GetFullResult, round ", i));
        m_lib.queue->addResult(makeResult(i));
    }
    {
        Watched w("case a: waiting for the answers and the stores", 25000);
        QTRY_COMPARE_WITH_TIMEOUT(m_answers.size(), rounds, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(queueFiles().isEmpty(), 15000);
    }
    for (int i = 1; i <= rounds; ++i)
        QCOMPARE(m_answers.value(i), QStringList { "T0" });
    QCOMPARE(storedRows(), rounds + 1);
    QCOMPARE(storedNames().size(), rounds + 1);
}

// A host slot on resultCommitted asks the worker at once, while the worker
// answers export requests to the main thread.
void TestThreads::blockingRequestFromCommitSlotWhileExporting()
{
    TestSupport::LibraryFixture::setActions(true, false, true);
    const int count = 30;
    QHash<int, QString> seen; // test id -> name the worker gave back
    QStringList mismatches;
    connect(m_lib.rm, &XrfResultManager::resultCommitted, this, [&](QDateTime when, bool, int id) {
        XrfKorviResult back;
        int last = -1;
        {
            Watched w(numbered("case b: syncGetFullResult in a resultCommitted slot, id ", id));
            m_lib.rm->syncGetFullResult(id, &back);
        }
        {
            Watched w(numbered("case b: getLastTestID in a resultCommitted slot, id ", id));
            m_lib.rm->getLastTestID(&last);
        }
        if (back.analysis().testDateTime() != when || last < id)
            mismatches << QStringLiteral("id %1: got %2 of %3, last id %4")
                                  .arg(id)
                                  .arg(back.analysis().tidName(), back.analysis().dateTimeString())
                                  .arg(last);
        seen.insert(id, back.analysis().tidName());
    });
    // Queued while paused, so that the commits reach the slot while the
    // main thread is in its event loop.
    m_lib.queue->pauseResultQueue();
    for (int i = 0; i < count; ++i) {
        Watched w(numbered("case b: addResult ", i));
        m_lib.queue->addResult(makeResult(i));
    }
    m_lib.queue->unPauseResultQueue();
    {
        Watched w("case b: waiting for stores and exports", 25000);
        // The file goes only once the export is answered too.
        QTRY_VERIFY_WITH_TIMEOUT(queueFiles().isEmpty(), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(seen.size(), count, 3000);
    }
    QVERIFY2(mismatches.isEmpty(), qPrintable(mismatches.join('\n')));
    QCOMPARE(storedNames().size(), count);
    QCOMPARE(QSet<QString>(seen.cbegin(), seen.cend()), storedNames());
    QCOMPARE(storedRows(), count);
}

// Stopping the queue waits for its thread, which may be waiting on the
// worker, which is busy with answers for the main thread.
void TestThreads::queueDestroyedWhileWorkerAnswers()
{
    const int stored = storeFirst();
    QVERIFY(stored > 0);
    const int results = 20;
    for (int i = 1; i <= results; ++i) {
        Watched w(numbered("case c: addResult ", i));
        m_lib.queue->addResult(makeResult(i));
    }
    // Enough work to keep the worker answering while the queue stops.
    const int requests = 300;
    for (int id = 1; id <= requests; ++id) {
        XrfJsonMessage request = fullResultRequest(id, stored);
        Watched w("case c: GetFullResult");
        QCOMPARE(m_lib.rm->GetFullResult(&request), XrfErrorInfo::NoError);
    }
    {
        Watched w("case c: XrfResultQueue::destroyInstance while the worker answers");
        XrfResultQueue::destroyInstance();
        m_lib.queue = nullptr;
    }
    {
        Watched w("case c: waiting for the answers after the queue is gone", 8000);
        QTRY_COMPARE_WITH_TIMEOUT(m_answers.size(), requests, 5000);
    }
    for (int id = 1; id <= requests; ++id)
        QCOMPARE(m_answers.value(id).size(), 1);
    // The insertions handed over before the stop finish; every result is
    // then either stored or still queued, and stored once.
    QTest::qWait(300);
    QCOMPARE(lost(results + 1), QStringList());
    QCOMPARE(storedRows(), storedNames().size());
}

void TestThreads::facadeShutDownWhileQueueHandsOverLosesNothing_data()
{
    // The moment of the shutdown: what the queue thread is doing then differs.
    QTest::addColumn<int>("commitsFirst");
    QTest::newRow("while handing over the first") << 0;
    QTest::newRow("after the first commit") << 1;
    QTest::newRow("after five commits") << 5;
}

// Deinit() on the host's thread while the queue thread hands results over
// and asks about them; the queue then runs on without a facade.
void TestThreads::facadeShutDownWhileQueueHandsOverLosesNothing()
{
    QFETCH(int, commitsFirst);
    // Enough that a fast card is not through them all when the shutdown
    // comes (the queue holds at most 150 unstored, 200 files).
    const int count = 120;
    QSignalSpy committed(m_lib.rm, &XrfResultManager::resultCommitted);
    for (int i = 0; i < count; ++i) {
        Watched w(numbered("case d: addResult ", i));
        m_lib.queue->addResult(makeResult(i));
    }
    {
        Watched w("case d: waiting for commits", 8000);
        QTRY_VERIFY_WITH_TIMEOUT(committed.count() >= commitsFirst, 5000);
    }
    {
        Watched w("case d: XrfResultManager::Deinit while the queue hands over");
        QCOMPARE(m_lib.rm->Deinit(), XrfErrorInfo::NoError);
    }
    {
        // Passes without a facade must neither crash nor drop files.
        Watched w("case d: queue passes without a facade, then destroyInstance", 5000);
        QTest::qWait(300);
        m_lib.stopLibrary();
    }
    QVERIFY2(!queueFiles().isEmpty(), "the shutdown came too late to test anything");
    QVERIFY(storedNames().size() < count);
    QCOMPARE(lost(count), QStringList());

    // A restarted host stores the rest, each result once.
    startLibrary();
    {
        Watched w("case d: restarted queue storing the rest", 20000);
        QTRY_VERIFY_WITH_TIMEOUT(queueFiles().isEmpty(), 15000);
    }
    QCOMPARE(storedNames().size(), count);
    QCOMPARE(storedRows(), count);
}

void TestThreads::secondInitDoesNotAnswerTwice()
{
    const int stored = storeFirst();
    QVERIFY(stored > 0);
    {
        Watched w("second init()");
        QCOMPARE(m_lib.rm->init(), XrfErrorInfo::NoError);
    }
    XrfJsonMessage request = fullResultRequest(77, stored);
    {
        Watched w("GetFullResult after a second init()");
        QCOMPARE(m_lib.rm->GetFullResult(&request), XrfErrorInfo::NoError);
    }
    Watched w("waiting for the answer after a second init()", 8000);
    QTRY_VERIFY_WITH_TIMEOUT(m_answers.contains(77), 5000);
    QTest::qWait(200); // a second answer would come right behind the first
    QCOMPARE(m_answers.value(77), QStringList { "T0" });
}

QTEST_GUILESS_MAIN(TestThreads)
#include "tst_threads.moc"

// The worker busy for seconds with an import another thread asked for:
// addResult on the host's thread waits only for its queue file, and the
// blocking reads answer meanwhile from the file as committed; the results
// added are stored once the worker is free, each once.
void TestThreads::addResultReturnsWhileTheWorkerImports()
{
    const int stored = storeFirst();
    QVERIFY(stored > 0);
    QList<QJsonObject> incoming;
    const QDateTime start(QDate(2025, 1, 1), QTime(0, 0), Qt::UTC);
    const int imported = 6000;
    for (int i = 0; i < imported; ++i)
        incoming << TestSupport::quickResult(QStringLiteral("I%1").arg(i), start.addSecs(i))
                            .toJsonObject();
    const QString stream = m_lib.path("incoming.json");
    QVERIFY(TestSupport::writeJsonLines(stream, incoming));

    QSignalSpy progress(m_lib.rm, &XrfResultManager::addedNResultsToDb);
    XrfErrorInfo::XrfError importCode = XrfErrorInfo::OperationAborted;
    QScopedPointer<QThread> importer(QThread::create([&] {
        importCode = XrfResultManager::instance()->importResultsFromJsFile(stream, imported);
    }));
    importer->start();
    {
        Watched w("case f: waiting for the import to begin", 8000);
        QTRY_VERIFY_WITH_TIMEOUT(!progress.isEmpty(), 5000);
    }
    const int added = 10;
    qint64 slowest = 0;
    QElapsedTimer clock;
    for (int i = 1; i <= added; ++i) {
        Watched w(numbered("case f: addResult while the worker imports, ", i));
        clock.start();
        m_lib.queue->addResult(makeResult(i));
        slowest = qMax(slowest, clock.elapsed());
        XrfKorviResult back;
        QCOMPARE(m_lib.rm->syncGetFullResult(stored, &back), XrfErrorInfo::NoError);
        QCOMPARE(back.analysis().tidName(), QStringLiteral("T0"));
        QCOMPARE(m_lib.rm->storedTestId(back.analysis().dateTimeString(), "T0"), stored);
    }
    QVERIFY2(importer->isRunning(), "the import ended before the test was done: make it longer");
    qInfo("case f: slowest addResult while the worker imported: %lld ms", slowest);
    QVERIFY2(slowest < 1000, qPrintable(QString::number(slowest)));
    {
        Watched w("case f: waiting for the import and the queue", 60000);
        QVERIFY(importer->wait(50000));
        QTRY_VERIFY_WITH_TIMEOUT(queueFiles().isEmpty(), 8000);
    }
    QCOMPARE(importCode, XrfErrorInfo::FileAccessFailed); // read to its end
    QCOMPARE(storedRows(), 1 + imported + added);
    QCOMPARE(storedNames().size(), 1 + imported + added);
}
