// The three threads never wait on each other in a circle. Each blocking call
// runs under a watchdog: a call that has not returned within its time aborts
// the process with the case's name, so a deadlock fails at once instead of
// hanging until the CTest time-out.
//
// Paths: answers to the main thread pending while main waits on the queue
// (GetFullResult then addResult); a blocking request from a resultCommitted
// slot while exports are answered; the queue destroyed while the worker is
// busy answering; the facade shut down while the queue hands results over.

#include <QDir>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "resultmanager.h"
#include "testsupport.h"
#include "xrfmethodmanager.h"
#include "xrfplatform.h"
#include "xrfresultqueue.h"
#include "xrfsettingsmanager.h"

using TestSupport::querySqlite;

namespace {

const int callLimitMsecs = 5000;

// One thread that aborts the process when the armed call overruns. Arming
// replaces the previous call: only one call at a time is watched.
class Watchdog
{
public:
    Watchdog() : m_thread([this] { run(); }) { }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_quit = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }

    void arm(const QByteArray &what, int msecs)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_what = what;
            m_limit = msecs;
            m_deadline = Clock::now() + std::chrono::milliseconds(msecs);
            m_armed = true;
        }
        m_wake.notify_all();
    }

    void disarm()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_armed = false;
        }
        m_wake.notify_all();
    }

private:
    using Clock = std::chrono::steady_clock;

    void run()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_quit) {
            if (!m_armed) {
                m_wake.wait(lock);
            } else if (Clock::now() >= m_deadline) {
                std::fprintf(stderr, "WATCHDOG: \"%s\" did not return within %d ms - deadlock?\n",
                             m_what.constData(), m_limit);
                std::fflush(stderr);
                std::abort();
            } else {
                m_wake.wait_until(lock, m_deadline);
            }
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_quit = false;
    bool m_armed = false;
    QByteArray m_what;
    int m_limit = 0;
    Clock::time_point m_deadline;
    std::thread m_thread;
};

Watchdog *s_dog = nullptr;

// Watches the enclosing scope.
class Watched
{
public:
    explicit Watched(const QByteArray &what, int msecs = callLimitMsecs)
    {
        s_dog->arm(what, msecs);
    }
    ~Watched() { s_dog->disarm(); }
    Watched(const Watched &) = delete;
    Watched &operator=(const Watched &) = delete;
};

XrfKorviResult makeResult(int index)
{
    XrfKorviResult r;
    r.analysis().setTestDateTime(
            QDateTime(QDate(2026, 4, 1), QTime(8, 0), Qt::UTC).addMSecs(qint64(index) * 1001));
    r.analysis().setTidName(QStringLiteral("T%1").arg(index));
    XrfChemistryResult fe;
    fe.setElementName(QStringLiteral("Fe"));
    fe.setConcentration(70.5f);
    r.chemistry().append(fe);
    return r;
}

XrfJsonMessage fullResultRequest(int requestId, int testId)
{
    return XrfJsonMessage(requestId, 118, QJsonObject { { "testIDs", QJsonArray { testId } } });
}

struct Answer
{
    XrfErrorInfo::XrfError code = XrfErrorInfo::NoError;
    QString tidName;
};

} // namespace

class TestThreads : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void answersPendingWhileMainAddsResults();
    void blockingRequestFromCommitSlotWhileExporting();
    void queueDestroyedWhileWorkerAnswers();
    void facadeShutDownWhileQueueHandsOverLosesNothing_data();
    void facadeShutDownWhileQueueHandsOverLosesNothing();
    void secondInitDoesNotAnswerTwice();

private:
    void startFacade();
    void startQueue();
    void openCard();
    void setAutoExport(bool on);
    // Queues one result and waits until it is stored; its test id.
    void storeOne(int index, int *testId);
    QStringList queueFiles() const;
    QSet<QString> storedNames() const;
    int storedCount() const
    {
        return querySqlite(dbFile(), QStringLiteral("SELECT count(*) FROM analysisresult"))
                .value(0, -1)
                .toInt();
    }
    QString dbFile() const { return m_dir->filePath(QStringLiteral("card/db/SN-T.sqlite")); }

    QTemporaryDir *m_dir = nullptr;
    XrfResultManager *m_rm = nullptr;
    XrfResultQueue *m_queue = nullptr;
    QString m_oldCwd;
    // Answers by request id; a request answered twice shows up twice.
    QHash<int, QList<Answer>> m_answers;
};

void TestThreads::initTestCase()
{
    s_dog = new Watchdog;
}

void TestThreads::cleanupTestCase()
{
    delete s_dog;
    s_dog = nullptr;
}

void TestThreads::init()
{
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
    m_oldCwd = QDir::currentPath();
    // The queue takes its folder from the current directory.
    QVERIFY(QDir::setCurrent(m_dir->path()));
    TestSupport::configureInstrument(QStringLiteral("SN-T"));
    XrfSettingsManager *settings = XrfSettingsManager::instance();
    settings->setGlobalSetting(QStringLiteral("resultActions"),
                               QJsonObject { { "insertToDb", true }, { "uploadToCloud", false } });
    settings->setGlobalSetting(QStringLiteral("cloudSettings"),
                               QJsonObject { { "enabled", false } });
    setAutoExport(false);
    m_answers.clear();
    startFacade();
    openCard();
    startQueue();
}

void TestThreads::cleanup()
{
    {
        Watched w("cleanup: XrfResultQueue::destroyInstance");
        XrfResultQueue::destroyInstance();
    }
    m_queue = nullptr;
    if (XrfResultManager::m_pInstance) {
        Watched w("cleanup: XrfResultManager::Deinit");
        XrfResultManager::instance()->Deinit();
    }
    m_rm = nullptr;
    XrfPlatform::instance()->reset();
    XrfMethodManager::instance()->clear();
    QDir::setCurrent(m_oldCwd);
    delete m_dir;
    m_dir = nullptr;
}

void TestThreads::startFacade()
{
    m_rm = XrfResultManager::instance();
    QCOMPARE(m_rm->init(), XrfErrorInfo::NoError);
    connect(m_rm, &XrfResultManager::operationDone, this,
            [this](int, int requestId, const QJsonDocument &answer, XrfErrorInfo::XrfError code) {
                XrfKorviResult result;
                result.fromJsonObject(
                        answer.object().value(QStringLiteral("testResult")).toObject());
                m_answers[requestId].append({ code, result.analysis().tidName() });
            });
}

void TestThreads::startQueue()
{
    m_queue = XrfResultQueue::instance();
    m_queue->setCheckInterval(10);
    // The host's connections.
    connect(m_rm, &XrfResultManager::resultCommitted, m_queue,
            &XrfResultQueue::onResultCommittedToDb);
    connect(m_rm, &XrfResultManager::exportComplete, m_queue, &XrfResultQueue::onExportComplete);
}

void TestThreads::openCard()
{
    Watched w("setPaths");
    m_rm->setPaths(m_dir->filePath(QStringLiteral("profile/")),
                   m_dir->filePath(QStringLiteral("card")));
}

void TestThreads::setAutoExport(bool on)
{
    XrfMethodManager::instance()->setExportSettings(QJsonObject {
            { "export",
              QJsonObject { { "autoExport", on }, { "selectedLocation", "Default Folder" } } } });
}

void TestThreads::storeOne(int index, int *testId)
{
    const XrfKorviResult r = makeResult(index);
    {
        Watched w("storeOne: addResult");
        m_queue->addResult(r);
    }
    {
        Watched w("storeOne: waiting for the queue to empty", 8000);
        QTRY_VERIFY_WITH_TIMEOUT(queueFiles().isEmpty(), 5000);
    }
    Watched w("storeOne: storedTestId");
    *testId = m_rm->storedTestId(r.analysis().dateTimeString(), r.analysis().tidName());
    QVERIFY(*testId > 0);
}

QStringList TestThreads::queueFiles() const
{
    return QDir(m_queue ? m_queue->queuePath() : m_dir->filePath(QStringLiteral("resultQueue")))
            .entryList({ QStringLiteral("*_*.json") }, QDir::Files, QDir::Name);
}

QSet<QString> TestThreads::storedNames() const
{
    QSet<QString> names;
    for (const QVariant &v :
         querySqlite(dbFile(), QStringLiteral("SELECT tidName FROM analysisresult")))
        names.insert(v.toString());
    return names;
}

// Main waits on the queue thread in addResult while answers to main are
// pending; the queue thread meanwhile asks the worker whether its hand-overs
// are stored. If the worker waited for main to take an answer, all three
// would wait for ever.
void TestThreads::answersPendingWhileMainAddsResults()
{
    int stored = -1;
    storeOne(0, &stored);
    if (QTest::currentTestFailed())
        return;
    const int rounds = 50;
    for (int i = 1; i <= rounds; ++i) {
        XrfJsonMessage request = fullResultRequest(i, stored);
        {
            Watched w(QByteArray("case a: GetFullResult round ") + QByteArray::number(i));
            QCOMPARE(m_rm->GetFullResult(&request), XrfErrorInfo::NoError);
        }
        Watched w(QByteArray("case a: addResult after GetFullResult, round ")
                  + QByteArray::number(i));
        m_queue->addResult(makeResult(i));
    }
    {
        Watched w("case a: waiting for the GetFullResult answers", 8000);
        QTRY_COMPARE_WITH_TIMEOUT(m_answers.size(), rounds, 5000);
    }
    for (int i = 1; i <= rounds; ++i) {
        QCOMPARE(m_answers.value(i).size(), 1);
        QCOMPARE(m_answers.value(i).first().code, XrfErrorInfo::NoError);
        QCOMPARE(m_answers.value(i).first().tidName, QStringLiteral("T0"));
    }
    {
        Watched w("case a: waiting for the queued results to be stored", 20000);
        QTRY_VERIFY_WITH_TIMEOUT(queueFiles().isEmpty(), 15000);
    }
    QCOMPARE(storedCount(), rounds + 1);
    QCOMPARE(storedNames().size(), rounds + 1);
}

// A host slot on resultCommitted asks the worker at once, while the worker
// answers export requests to the main thread.
void TestThreads::blockingRequestFromCommitSlotWhileExporting()
{
    setAutoExport(true);
    const int count = 30;
    QHash<int, QString> seen; // test id -> name the worker gave back
    QList<QString> mismatches;
    connect(m_rm, &XrfResultManager::resultCommitted, this, [&](QDateTime when, bool, int testId) {
        XrfKorviResult back;
        int last = -1;
        {
            Watched w(QByteArray("case b: syncGetFullResult in a resultCommitted slot, id ")
                      + QByteArray::number(testId));
            m_rm->syncGetFullResult(testId, &back);
        }
        {
            Watched w(QByteArray("case b: getLastTestID in a resultCommitted slot, id ")
                      + QByteArray::number(testId));
            m_rm->getLastTestID(&last);
        }
        if (back.analysis().testDateTime() != when || last < testId)
            mismatches << QStringLiteral("id %1: got %2 of %3, last id %4")
                                  .arg(testId)
                                  .arg(back.analysis().tidName(), back.analysis().dateTimeString())
                                  .arg(last);
        seen.insert(testId, back.analysis().tidName());
    });
    // Queued while paused, so that the commits reach the slot while the
    // main thread is in its event loop.
    m_queue->pauseResultQueue();
    for (int i = 0; i < count; ++i) {
        Watched w(QByteArray("case b: addResult ") + QByteArray::number(i));
        m_queue->addResult(makeResult(i));
    }
    m_queue->unPauseResultQueue();
    {
        Watched w("case b: waiting for stores and exports", 25000);
        // The file goes only once the export is answered too.
        QTRY_VERIFY_WITH_TIMEOUT(queueFiles().isEmpty(), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(seen.size(), count, 3000);
    }
    QVERIFY2(mismatches.isEmpty(), qPrintable(mismatches.join(QLatin1Char('\n'))));
    QCOMPARE(storedCount(), count);
    QCOMPARE(storedNames().size(), count);
    QCOMPARE(QSet<QString>(seen.cbegin(), seen.cend()), storedNames());
}

// Stopping the queue waits for its thread, which may be waiting on the
// worker, which is busy with answers for the main thread.
void TestThreads::queueDestroyedWhileWorkerAnswers()
{
    int stored = -1;
    storeOne(0, &stored);
    if (QTest::currentTestFailed())
        return;
    const int results = 20;
    for (int i = 1; i <= results; ++i) {
        Watched w(QByteArray("case c: addResult ") + QByteArray::number(i));
        m_queue->addResult(makeResult(i));
    }
    // Enough work to keep the worker answering while the queue stops.
    const int requests = 300;
    for (int id = 1; id <= requests; ++id) {
        XrfJsonMessage request = fullResultRequest(id, stored);
        Watched w("case c: GetFullResult");
        QCOMPARE(m_rm->GetFullResult(&request), XrfErrorInfo::NoError);
    }
    {
        Watched w("case c: XrfResultQueue::destroyInstance while the worker answers");
        XrfResultQueue::destroyInstance();
        m_queue = nullptr;
    }
    {
        Watched w("case c: waiting for the answers after the queue is gone", 8000);
        QTRY_COMPARE_WITH_TIMEOUT(m_answers.size(), requests, 5000);
    }
    for (int id = 1; id <= requests; ++id)
        QCOMPARE(m_answers.value(id).size(), 1);

    // The insertions handed over before the stop finish; every result is
    // then either stored or still queued.
    QTest::qWait(300);
    const QSet<QString> names = storedNames();
    const QStringList files = queueFiles();
    for (int i = 1; i <= results; ++i) {
        const QString name = QStringLiteral("T%1").arg(i);
        const bool queued = std::any_of(files.cbegin(), files.cend(), [&](const QString &f) {
            return f.contains(QLatin1Char('_') + name + QLatin1Char('_'));
        });
        QVERIFY2(names.contains(name) || queued, qPrintable(name + " is lost"));
    }
    QCOMPARE(storedCount(), names.size());
}

// Deinit() on the host's thread while the queue thread hands results over
// and asks about them; the queue then runs on without a facade.
void TestThreads::facadeShutDownWhileQueueHandsOverLosesNothing_data()
{
    // The moment of the shutdown: what the queue thread is doing then differs.
    QTest::addColumn<int>("commitsFirst");
    QTest::newRow("while handing over the first") << 0;
    QTest::newRow("after the first commit") << 1;
    QTest::newRow("after five commits") << 5;
}

void TestThreads::facadeShutDownWhileQueueHandsOverLosesNothing()
{
    QFETCH(int, commitsFirst);
    const int count = 40;
    QSignalSpy committed(m_rm, &XrfResultManager::resultCommitted);
    for (int i = 0; i < count; ++i) {
        Watched w(QByteArray("case d: addResult ") + QByteArray::number(i));
        m_queue->addResult(makeResult(i));
    }
    {
        Watched w("case d: waiting for commits", 8000);
        QTRY_VERIFY_WITH_TIMEOUT(committed.count() >= commitsFirst, 5000);
    }
    {
        Watched w("case d: XrfResultManager::Deinit while the queue hands over");
        QCOMPARE(m_rm->Deinit(), XrfErrorInfo::NoError);
    }
    m_rm = nullptr;
    {
        // Passes without a facade must neither crash nor drop files.
        Watched w("case d: queue passes without a facade", 5000);
        QTest::qWait(300);
    }
    {
        Watched w("case d: XrfResultQueue::destroyInstance after Deinit");
        XrfResultQueue::destroyInstance();
    }
    m_queue = nullptr;

    const QStringList files = queueFiles();
    QVERIFY2(!files.isEmpty(), "the shutdown came too late to test anything");
    const QSet<QString> names = storedNames();
    QVERIFY(names.size() < count);
    for (int i = 0; i < count; ++i) {
        const QString name = QStringLiteral("T%1").arg(i);
        const bool queued = std::any_of(files.cbegin(), files.cend(), [&](const QString &f) {
            return f.contains(QLatin1Char('_') + name + QLatin1Char('_'));
        });
        QVERIFY2(names.contains(name) || queued, qPrintable(name + " is lost"));
    }

    // A restarted host stores the rest, each result once.
    startFacade();
    openCard();
    startQueue();
    {
        Watched w("case d: restarted queue storing the rest", 20000);
        QTRY_VERIFY_WITH_TIMEOUT(queueFiles().isEmpty(), 15000);
    }
    QCOMPARE(storedCount(), count);
    QCOMPARE(storedNames().size(), count);
}

void TestThreads::secondInitDoesNotAnswerTwice()
{
    int stored = -1;
    storeOne(0, &stored);
    if (QTest::currentTestFailed())
        return;
    {
        Watched w("second init()");
        QCOMPARE(m_rm->init(), XrfErrorInfo::NoError);
    }
    XrfJsonMessage request = fullResultRequest(77, stored);
    {
        Watched w("GetFullResult after a second init()");
        QCOMPARE(m_rm->GetFullResult(&request), XrfErrorInfo::NoError);
    }
    Watched w("waiting for the answer after a second init()", 8000);
    QTRY_VERIFY_WITH_TIMEOUT(m_answers.contains(77), 5000);
    QTest::qWait(200); // a second answer would come right behind the first
    QCOMPARE(m_answers.value(77).size(), 1);
    QCOMPARE(m_answers.value(77).first().tidName, QStringLiteral("T0"));
}

QTEST_GUILESS_MAIN(TestThreads)
#include "tst_threads.moc"
